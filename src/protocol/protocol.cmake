# The receiver: portable byte handling (rx_core) in both trees, the Windows
# thread (rx_win) in the Windows tree, a fuzzer in the native clang tree.
add_library(rx_core STATIC ${CMAKE_CURRENT_LIST_DIR}/rx_core.cpp)
target_include_directories(rx_core PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(rx_core PUBLIC qrn_core)

if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/rx_core_test.cpp)
  tolvane_add_test(NAME rx_core_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/rx_core_test.cpp LIBS rx_core)
endif()

# The thread links the roster and the transmit path, whose targets are made
# by directories added after this one: decide once the whole tree is read.
function(tolvane_add_receiver_win)
  if(NOT (TARGET roster_win AND TARGET link_tx AND TARGET app_state))
    message(STATUS "rx_win: waiting for roster_win, link_tx and app_state")
    return()
  endif()
  set(dir ${CMAKE_SOURCE_DIR}/src/protocol)
  add_library(rx_win STATIC ${dir}/receiver.cpp)
  target_include_directories(rx_win PUBLIC ${dir})
  target_link_libraries(rx_win PUBLIC rx_core qrn_core roster_win link_tx app_state app_ids)
  if(TARGET win_fixture AND EXISTS ${dir}/receiver_test.cpp)
    tolvane_add_test(NAME receiver_test SOURCES ${dir}/receiver_test.cpp LIBS rx_win win_fixture TIMEOUT 180)
  endif()
endfunction()
if(WIN32)
  cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL tolvane_add_receiver_win)
endif()

# Coverage-guided fuzzing needs clang; the tree's sanitizers are already on,
# so only the fuzzer instrumentation is added here. The short run in the
# tests writes new inputs to a scratch directory, never to the seed corpus.
if(NOT WIN32 AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  add_executable(rx_fuzz ${CMAKE_CURRENT_LIST_DIR}/fuzz/rx_fuzz.cpp ${CMAKE_CURRENT_LIST_DIR}/rx_core.cpp
                         ${CMAKE_CURRENT_LIST_DIR}/qrn_frame.cpp)
  target_include_directories(rx_fuzz PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  target_compile_options(rx_fuzz PRIVATE -fsanitize=fuzzer)
  target_link_options(rx_fuzz PRIVATE -fsanitize=fuzzer)
  set(scratch ${CMAKE_CURRENT_BINARY_DIR}/rx_fuzz_scratch)
  add_test(NAME rx_fuzz_short
           COMMAND sh -c "rm -rf '${scratch}' && mkdir -p '${scratch}' && exec \"$0\" -max_total_time=10 -timeout=5 -artifact_prefix='${CMAKE_CURRENT_BINARY_DIR}/rx_fuzz-' '${scratch}' '${CMAKE_CURRENT_LIST_DIR}/fuzz/corpus'"
                   $<TARGET_FILE:rx_fuzz>)
  set_tests_properties(rx_fuzz_short PROPERTIES TIMEOUT 60)
endif()
