# Portable roster logic: builds natively and for Windows.
add_library(roster_core STATIC ${CMAKE_CURRENT_LIST_DIR}/roster_core.cpp)
target_include_directories(roster_core PUBLIC ${CMAKE_CURRENT_LIST_DIR})

tolvane_add_test(NAME roster_core_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/roster_core_test.cpp LIBS roster_core)

if(WIN32)
  add_library(roster_win STATIC ${CMAKE_CURRENT_LIST_DIR}/roster.cpp ${CMAKE_CURRENT_LIST_DIR}/tiles.cpp)
  target_include_directories(roster_win PUBLIC ${CMAKE_CURRENT_LIST_DIR})
  target_link_libraries(roster_win PUBLIC roster_core app_ids comctl32 gdi32 user32)
endif()

if(WIN32)
  tolvane_add_test(NAME roster_win_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/roster_win_test.cpp
                   LIBS roster_win win_fixture)
endif()

if(WIN32)
  tolvane_add_test(NAME roster_race_win_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/roster_race_win_test.cpp
                   LIBS roster_win win_fixture TIMEOUT 180)
endif()
