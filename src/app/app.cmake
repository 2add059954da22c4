# The console program. It needs every subsystem library, so it is defined
# only once they all exist (this file is processed after the others).
if(WIN32 AND TARGET rx_win AND TARGET roster_win AND TARGET link_tx)
  add_executable(tolvane WIN32
    ${CMAKE_CURRENT_LIST_DIR}/winmain.cpp
    ${CMAKE_CURRENT_LIST_DIR}/main_window.cpp
    ${CMAKE_CURRENT_LIST_DIR}/commands.cpp
    ${CMAKE_SOURCE_DIR}/res/tolvane.rc)
  target_include_directories(tolvane PRIVATE ${CMAKE_CURRENT_LIST_DIR}
    ${CMAKE_SOURCE_DIR}/src/link ${CMAKE_SOURCE_DIR}/src/roster ${CMAKE_SOURCE_DIR}/src/protocol)
  target_link_libraries(tolvane PRIVATE link_ports link_tx rx_win roster_win qrn_core app_state app_ids
    comctl32 gdi32)
  set_source_files_properties(${CMAKE_SOURCE_DIR}/res/tolvane.rc PROPERTIES
    OBJECT_DEPENDS "${CMAKE_SOURCE_DIR}/res/tolvane.manifest;${CMAKE_SOURCE_DIR}/res/tolvane.ico;${CMAKE_SOURCE_DIR}/res/tolvane_small.ico")
  target_include_directories(tolvane PRIVATE ${CMAKE_SOURCE_DIR}/res)
endif()
