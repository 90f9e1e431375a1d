/* A C host on the installed headers and library: a tone read through the C functions equals the
 * generator's formula sample for sample, a resampler doubles it through ZelmarProcess, the
 * companion library is found beside the engine, and bad calls get their result codes. */
#include <zelmar/zelmar_c.h>

#include <math.h>
#include <stdio.h>
#include <string.h>

static int failures = 0;

static void check(int ok, const char* what) {
    if (!ok) printf("FAIL: %s\n", what), ++failures;
}

int main(void) {
    char status[256];
    check(ZelmarCompanionStatus(status, sizeof status) == ZELMAR_OK, "companion library installed beside the engine");
    check(ZelmarSetTimeMode(ZELMAR_TIME_VIRTUAL) == ZELMAR_OK, "virtual time for offline rendering");

    IAudioIO* tone = ZelmarCreateComponent("WaveGeneratorAudioIn");
    check(tone != NULL, "tone generator made");
    const char* names[] = {"SamplesPerSec", "Frequency", "Amplitude", "BlockSamples"};
    const int32_t values[] = {16000, 1000, 50, 160};
    for (int i = 0; i < 4; ++i) check(ZelmarSetProperty(tone, names[i], values[i], NULL) == ZELMAR_OK, names[i]);
    check(ZelmarBuild(tone) == ZELMAR_OK && ZelmarStart(tone) == ZELMAR_OK, "generator built and started");

    /* Sample n of the tone: trunc(sin(n x 1000 x 6.28 / 16000) x 50 % of 32767). */
    int16_t block[160];
    const double step = 1000.0 * 6.28 / 16000.0, scale = 50.0 * 32767.0 / 100.0;
    int mismatches = 0;
    for (int b = 0; b < 10; ++b) {
        check(ZelmarGetData(tone, block, sizeof block) == (int32_t)sizeof block, "a whole block");
        for (int i = 0; i < 160; ++i) mismatches += block[i] != (int16_t)(sin((double)(b * 160 + i) * step) * scale);
    }
    check(mismatches == 0, "tone equals its formula");
    uint32_t total = 0;
    check(ZelmarGetProperty(tone, "TotalIn", 0, &total) == ZELMAR_OK && total == 3200, "TotalIn counts the bytes");

    IAudioIO* resampler = ZelmarCreateComponent("ResampleAudioFilter");
    ZelmarSetProperty(resampler, "InSamplesPerSec", 16000, NULL);
    ZelmarSetProperty(resampler, "OutSamplesPerSec", 32000, NULL);
    check(ZelmarBuild(resampler) == ZELMAR_OK && ZelmarStart(resampler) == ZELMAR_OK, "resampler started");
    int16_t doubled[320];
    int32_t inBytes = sizeof block, outBytes = sizeof doubled;
    check(ZelmarProcess(resampler, block, &inBytes, doubled, &outBytes) >= 0 && outBytes == 640, "twice the samples");

    /* Bad calls. */
    check(ZelmarStart(NULL) == ZELMAR_E_INVALIDARG && ZelmarGetData(NULL, block, 2) == ZELMAR_E_INVALIDARG,
          "a null component is an invalid argument");
    check(ZelmarGetDataSplit(tone, block, block, 2) == ZELMAR_E_NOTIMPL, "the generator has no split channels");
    check(ZelmarSetProperty(tone, "NoSuchProperty", 1, NULL) == ZELMAR_OK, "the generator ignores unknown names");
    check(ZelmarPutData(tone, block, 2) == ZELMAR_E_NOTIMPL, "a source takes no data");
    check(strcmp(ZelmarResultText(ZELMAR_E_STATE), "wrong state or unrecognised property") == 0, "result text");

    ZelmarDisposeComponent(resampler);
    ZelmarDisposeComponent(tone);
    printf("%s\n", failures == 0 ? "C host: all checks passed" : "C host: checks failed");
    return failures == 0 ? 0 : 1;
}
