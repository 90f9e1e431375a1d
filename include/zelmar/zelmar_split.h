/*
 * Zelmar — two-buffer (split-channel) operations of the WAV and UDP components.
 *
 * "RIFFAudioIn" and "UDPAudioIn" are IAudioIOSplitSource; "RIFFAudioOut" and "UDPAudioOut"
 * are IAudioIOSplitSink.  A host static_casts the IAudioIO* it got from the factory.
 * `bytes` is the size of one channel buffer; the result is the byte count of one channel
 * or a negative result code.
 */
#ifndef ZELMAR_ZELMAR_SPLIT_H
#define ZELMAR_ZELMAR_SPLIT_H

#include <zelmar/zelmar.h>

#ifdef __cplusplus
struct IAudioIOSplitSource : IAudioIO {   /* slot 9 */
    virtual int32_t GetDataSplit(void* left, void* right, int32_t bytes) = 0;
};
struct IAudioIOSplitSink : IAudioIO {     /* slot 9 */
    virtual int32_t PutDataSplit(const void* left, const void* right, int32_t bytes) = 0;
};
#endif

#endif /* ZELMAR_ZELMAR_SPLIT_H */
