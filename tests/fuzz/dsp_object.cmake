corvel_add_fuzzer(dsp_object ${CMAKE_CURRENT_SOURCE_DIR}/dsp_object.cpp corvel_download)
