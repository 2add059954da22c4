# The console program. It links every subsystem library; the receiver's is
# defined only once the whole tree has been read, so the program is too.
function(tolvane_add_console)
  if(NOT (TARGET rx_win AND TARGET roster_win AND TARGET link_tx AND TARGET link_ports))
    message(STATUS "tolvane: waiting for rx_win, roster_win, link_tx and link_ports")
    return()
  endif()
  set(app ${CMAKE_SOURCE_DIR}/src/app)
  set(res ${CMAKE_SOURCE_DIR}/res)
  add_executable(tolvane WIN32
    ${app}/winmain.cpp
    ${app}/main_window.cpp
    ${app}/commands.cpp
    ${res}/tolvane.rc)
  target_include_directories(tolvane PRIVATE ${app} ${res})
  target_link_libraries(tolvane PRIVATE link_ports link_tx rx_win roster_win qrn_core app_state app_ids
    comctl32 gdi32)
  set_source_files_properties(${res}/tolvane.rc PROPERTIES
    OBJECT_DEPENDS "${res}/tolvane.manifest;${res}/tolvane.ico;${res}/tolvane_small.ico")
endfunction()
if(WIN32)
  cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL tolvane_add_console)
endif()
