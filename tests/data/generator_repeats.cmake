# Runs the picture generator twice into two folders and requires identical bytes, so that
# redrawing the pictures never produces a change that nobody made.
# -DGENERATOR=<program> -DWORK_DIR=<scratch folder>
file(REMOVE_RECURSE "${WORK_DIR}")
foreach(run first second)
  execute_process(COMMAND "${GENERATOR}" "${WORK_DIR}/${run}" RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "generator failed (${result}) in the ${run} run")
  endif()
endforeach()
foreach(picture Data/Images/VideoSrc/PleaseStart.png data/effect_data/logo/logo.png)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files
    "${WORK_DIR}/first/${picture}" "${WORK_DIR}/second/${picture}" RESULT_VARIABLE differ)
  if(NOT differ EQUAL 0)
    message(FATAL_ERROR "${picture} differs between two runs of the generator")
  endif()
endforeach()
file(REMOVE_RECURSE "${WORK_DIR}")
