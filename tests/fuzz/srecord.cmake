corvel_add_fuzzer(srecord ${CMAKE_CURRENT_SOURCE_DIR}/srecord.cpp corvel_download)
