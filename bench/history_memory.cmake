# Not a Google Benchmark: prints resident memory against the history's estimate and the bound.
add_executable(history_memory ${CMAKE_CURRENT_LIST_DIR}/history_memory.cpp)
target_link_libraries(history_memory PRIVATE procsampler_history procsampler_warnings)
