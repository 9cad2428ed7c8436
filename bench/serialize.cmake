add_executable(serialize_bench ${CMAKE_CURRENT_LIST_DIR}/serialize_bench.cpp)
target_link_libraries(serialize_bench PRIVATE procsampler_protocol procsampler_warnings
                      benchmark::benchmark)
