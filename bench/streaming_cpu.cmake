# Not a Google Benchmark: streams from the real sidecar and prints its CPU per sample against (a).
find_package(Threads REQUIRED)
if(TARGET procsampler AND NOT APPLE)
  add_executable(streaming_cpu ${CMAKE_CURRENT_LIST_DIR}/streaming_cpu.cpp)
  target_link_libraries(streaming_cpu PRIVATE procsampler_warnings Threads::Threads)
  target_compile_definitions(streaming_cpu PRIVATE PROCSAMPLER_BINARY="$<TARGET_FILE:procsampler>")
  add_dependencies(streaming_cpu procsampler)
endif()
