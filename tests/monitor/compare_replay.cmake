# Records the heat step again and compares it with the committed replay.
execute_process(COMMAND ${RECORDER} ${DIR}/../profiles/thermal_heat_step.json ${DIR}/cool.json 15 60
  OUTPUT_FILE ${OUT} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the recorder failed: ${status}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUT} ${DIR}/heat_step.jsonl RESULT_VARIABLE differs)
if(differs)
  message(FATAL_ERROR "${DIR}/heat_step.jsonl is not what zerloctl records now (${OUT})")
endif()
