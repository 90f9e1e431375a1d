// The speech sample of `zelmar voice`, built into the program so the voice path runs with no
// files at hand.  The build speaks it with espeak-ng (tools/zelmar/make_voice_sample.cmake) and
// passes its path in ZELMAR_VOICE_SAMPLE_PATH; without espeak-ng the sample is empty.
#ifdef ZELMAR_VOICE_SAMPLE_PATH
#define ZELMAR_VOICE_SAMPLE_BYTES ".incbin \"" ZELMAR_VOICE_SAMPLE_PATH "\"\n"
#else
#define ZELMAR_VOICE_SAMPLE_BYTES ""
#endif
__asm__(".section .rodata\n"
        ".balign 16\n"
        ".globl zelmar_voice_sample_begin\n"
        "zelmar_voice_sample_begin:\n"
        ZELMAR_VOICE_SAMPLE_BYTES
        ".globl zelmar_voice_sample_end\n"
        "zelmar_voice_sample_end:\n"
        ".byte 0\n"
        ".previous\n");
