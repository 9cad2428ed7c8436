# Not a Google Benchmark: sends the real sidecar one huge line and prints what memory it keeps.
find_package(Threads REQUIRED)
if(TARGET procsampler AND NOT APPLE)
  add_executable(input_line_memory ${CMAKE_CURRENT_LIST_DIR}/input_line_memory.cpp)
  target_include_directories(input_line_memory PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(input_line_memory PRIVATE procsampler_warnings Threads::Threads)
  target_compile_definitions(input_line_memory PRIVATE
                             PROCSAMPLER_BINARY="$<TARGET_FILE:procsampler>")
  add_dependencies(input_line_memory procsampler)
endif()
