# Not a Google Benchmark: the real sidecar against processes with multi-megabyte argument lists.
if(TARGET procsampler AND NOT APPLE)
  add_executable(argument_load ${CMAKE_CURRENT_LIST_DIR}/argument_load.cpp)
  target_include_directories(argument_load PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(argument_load PRIVATE procsampler_warnings)
  target_compile_definitions(argument_load PRIVATE PROCSAMPLER_BINARY="$<TARGET_FILE:procsampler>")
  add_dependencies(argument_load procsampler)
endif()
