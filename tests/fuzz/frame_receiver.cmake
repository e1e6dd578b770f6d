corvel_add_fuzzer(frame_receiver ${CMAKE_CURRENT_SOURCE_DIR}/frame_receiver.cpp corvel_link)
