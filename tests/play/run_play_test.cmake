# One scenario test (see CMakeLists.txt here): the viewer plays SCRIPT on MODEL headless in
# the folder WORK, and its last picture is compared with BASELINE. With the environment
# variable SOLLUX_UPDATE_BASELINES set, the picture becomes the baseline instead.
#   cmake -DVIEWER= -DCOMPARE= -DMODEL= -DSCRIPT= -DBASELINE= [-DSHARED_BASELINE=ON] -DWORK= -DSIZE=
#         -DTOLERANCE= -P run_play_test.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
# A Rokkaku model is converted to .x beside itself: it plays from a copy.
get_filename_component(model_name ${MODEL} NAME)
if(model_name MATCHES "\\.[rR][oO][kK]$")
  file(COPY ${MODEL} DESTINATION ${WORK})
  set(MODEL ${WORK}/${model_name})
endif()
set(shot ${WORK}/picture.png)
execute_process(COMMAND ${VIEWER} --play ${SCRIPT} --screenshot ${shot} --size ${SIZE} ${MODEL}
                WORKING_DIRECTORY ${WORK} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "solluxviewer --play ${SCRIPT} ${MODEL} exited with ${status}")
endif()
# A test that shares another one's baseline checks against it even then.
if(DEFINED ENV{SOLLUX_UPDATE_BASELINES} AND NOT SHARED_BASELINE)
  file(COPY_FILE ${shot} ${BASELINE})
  message(STATUS "wrote ${BASELINE}: look at it before committing it")
  return()
endif()
# The frame-rate overlay's box (up to a three-digit figure) is left out: the figure depends
# on how fast the machine ran the script.
execute_process(COMMAND ${COMPARE} ${shot} ${BASELINE} ${TOLERANCE} --ignore 96x16 --diff ${WORK}/diff.png
                RESULT_VARIABLE status)
if(NOT EXISTS ${BASELINE})
  message(FATAL_ERROR "no baseline ${BASELINE}: a new scenario's is written by SOLLUX_UPDATE_BASELINES=1 ctest")
elseif(NOT status EQUAL 0)
  message(FATAL_ERROR "the picture ${shot} is not its baseline ${BASELINE} (pixels off in red: ${WORK}/diff.png)")
endif()
