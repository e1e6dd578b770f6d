corvel_add_fuzzer(command_line ${CMAKE_CURRENT_SOURCE_DIR}/command_line.cpp corvel_workflow)
