/*
 * Zelmar — the format choice of "ACMAudioFilter".
 *
 * The filter lets a host pick its output format ("OutWaveFormat" set with a null `data`, or
 * the template "CHOOSE").  The engine draws no dialog: it lists the formats its codecs can
 * make of the given one and hands them to the chooser the host installed here, which returns
 * the index of the format taken, or a negative number to cancel.  `names` are short
 * descriptions ("GSM 6.10 mono 8000 Hz, 1625 bytes/s"); each `formats[i]` is a WAVEFORMATEX
 * followed by its cbSize extra bytes.  Both arrays live for the call only.  With no chooser
 * installed (the default) every choice is cancelled (ACM code 515).  Process-wide; a null
 * `chooser` removes it.
 */
#ifndef ZELMAR_ZELMAR_ACM_H
#define ZELMAR_ZELMAR_ACM_H

#include <zelmar/zelmar.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t (*ZelmarFormatChooser)(const WAVEFORMATEX* const* formats, const char* const* names,
                                       int32_t count, void* context);

ZELMAR_API void ZelmarSetFormatChooser(ZelmarFormatChooser chooser, void* context);

#ifdef __cplusplus
}
#endif

#endif
