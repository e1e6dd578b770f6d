corvel_add_fuzzer(frame_decoder ${CMAKE_CURRENT_SOURCE_DIR}/frame_decoder.cpp corvel_link)
