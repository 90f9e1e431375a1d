# Speaks the voice sample at build time: four sentences from espeak-ng, 16-bit mono at
# 16 000 samples per second, with the shared speech script when it is in the tree.
#   cmake -DOUTPUT=file.wav -DSOURCE_DIR=... -P make_voice_sample.cmake
set(script ${SOURCE_DIR}/tests/make_speech.sh)
set(text "The birch canoe slid on the smooth planks.
Glue the sheet to the dark blue background.
It is easy to tell the depth of a well.
These days a chicken leg is a rare dish.")
get_filename_component(dir ${OUTPUT} DIRECTORY)
set(dir ${dir}/voice-sample-parts)
file(MAKE_DIRECTORY ${dir})
if(EXISTS ${script})
  set(ENV{ZELMAR_SPEECH_TEXT} "${text}")
  execute_process(COMMAND bash ${script} ${OUTPUT} 16000 0.5 RESULT_VARIABLE failed)
else()
  # The same recipe in short: each sentence spoken, then joined with half-second pauses.
  string(REPLACE "\n" ";" sentences "${text}")
  set(parts)
  set(index 0)
  execute_process(COMMAND sox -R -D -n -r 16000 -c 1 -b 16 ${dir}/pause.wav trim 0 0.5 RESULT_VARIABLE failed)
  list(APPEND parts ${dir}/pause.wav)
  foreach(sentence ${sentences})
    math(EXPR index "${index} + 1")
    execute_process(COMMAND espeak-ng -v en-us -s 150 -w ${dir}/raw${index}.wav "${sentence}" RESULT_VARIABLE f1)
    execute_process(COMMAND sox -R -D ${dir}/raw${index}.wav -r 16000 -c 1 -b 16 ${dir}/part${index}.wav gain -n -3 RESULT_VARIABLE f2)
    if(f1 OR f2)
      set(failed 1)
    endif()
    list(APPEND parts ${dir}/part${index}.wav ${dir}/pause.wav)
  endforeach()
  if(NOT failed)
    execute_process(COMMAND sox -R -D ${parts} -r 16000 -c 1 -b 16 -e signed-integer ${OUTPUT} RESULT_VARIABLE failed)
  endif()
endif()
file(REMOVE_RECURSE ${dir})
if(failed)
  message(FATAL_ERROR "speaking the voice sample failed")
endif()
