if(TARGET procsampler_sampling)
  add_executable(refresh_bench ${CMAKE_CURRENT_LIST_DIR}/refresh_bench.cpp)
  target_include_directories(refresh_bench PRIVATE ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(refresh_bench PRIVATE procsampler_sampling procsampler_warnings
                        benchmark::benchmark)
endif()
