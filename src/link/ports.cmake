# Port discovery and opening (Windows only). It starts the ReceiverThread and
# sends through the transmit path; the program links those libraries.
if(WIN32)
  add_library(link_ports STATIC ${CMAKE_CURRENT_LIST_DIR}/ports.cpp)
  target_include_directories(link_ports PUBLIC ${CMAKE_CURRENT_LIST_DIR}
    ${CMAKE_SOURCE_DIR}/src/protocol)
  target_link_libraries(link_ports PUBLIC app_state app_ids)
endif()
