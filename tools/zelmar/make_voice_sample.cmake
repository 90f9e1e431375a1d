# Speaks the voice sample at build time: four sentences from espeak-ng, 16-bit mono at
# 16 000 samples per second, with the shared speech script.
#   cmake -DOUTPUT=file.wav -DSOURCE_DIR=... -P make_voice_sample.cmake
set(script ${SOURCE_DIR}/tests/make_speech.sh)
set(text "The birch canoe slid on the smooth planks.
Glue the sheet to the dark blue background.
It is easy to tell the depth of a well.
These days a chicken leg is a rare dish.")
set(ENV{ZELMAR_SPEECH_TEXT} "${text}")
execute_process(COMMAND bash ${script} ${OUTPUT} 16000 0.5 RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "speaking the voice sample failed")
endif()
