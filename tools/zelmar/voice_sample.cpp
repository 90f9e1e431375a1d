// The speech sample of `zelmar voice`, built into the program so the voice path runs with no
// files at hand.  The build speaks it with espeak-ng (tools/zelmar/make_voice_sample.cmake) and
// passes its path in ZELMAR_VOICE_SAMPLE_PATH; without espeak-ng the sample is empty.
#ifdef ZELMAR_VOICE_SAMPLE_PATH
__asm__(".section .rodata\n"
        ".balign 16\n"
        ".globl zelmar_voice_sample_begin\n"
        "zelmar_voice_sample_begin:\n"
        ".incbin \"" ZELMAR_VOICE_SAMPLE_PATH "\"\n"
        ".globl zelmar_voice_sample_end\n"
        "zelmar_voice_sample_end:\n"
        ".byte 0\n"
        ".previous\n");
#else
__asm__(".section .rodata\n"
        ".globl zelmar_voice_sample_begin\n"
        "zelmar_voice_sample_begin:\n"
        ".globl zelmar_voice_sample_end\n"
        "zelmar_voice_sample_end:\n"
        ".byte 0\n"
        ".previous\n");
#endif
