add_executable(serialize_bench ${CMAKE_CURRENT_LIST_DIR}/serialize_bench.cpp)
target_link_libraries(serialize_bench PRIVATE procsampler_protocol procsampler_warnings
                      benchmark::benchmark)
# RapidJSON (Debian's rapidjson-dev) is only the yardstick the snapshot writer is compared with.
find_path(RAPIDJSON_INCLUDE_DIR rapidjson/writer.h)
if(RAPIDJSON_INCLUDE_DIR)
  target_include_directories(serialize_bench SYSTEM PRIVATE ${RAPIDJSON_INCLUDE_DIR})
  target_compile_definitions(serialize_bench PRIVATE PROCSAMPLER_HAVE_RAPIDJSON)
else()
  message(STATUS "RapidJSON not found (install rapidjson-dev): serialize_bench measures the "
                 "event writer alone, without the comparison")
endif()
