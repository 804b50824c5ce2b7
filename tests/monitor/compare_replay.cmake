# Records the heat step again and compares it with the committed replay.
execute_process(COMMAND ${RECORDER} ${DIR}/../profiles/thermal_heat_step.json ${DIR}/cool.json 15 60
  OUTPUT_FILE ${OUT} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the recorder failed: ${status}")
endif()
# The committed replay predates the samples' monotonic stamp and stays as
# it was, so that the monitor keeps replaying a recording of that age: apart
# from that stamp, which here is the simulated clock's, the two agree whole.
file(READ ${OUT} recorded)
string(REGEX REPLACE "\"monotonic\":[0-9.]+," "" recorded "${recorded}")
file(READ ${DIR}/heat_step.jsonl committed)
if(NOT recorded STREQUAL committed)
  message(FATAL_ERROR "${DIR}/heat_step.jsonl is not what zerloctl records now, without its monotonic stamps (${OUT})")
endif()
