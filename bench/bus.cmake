# Event bus throughput against a plain queue of the same shape. Needs the bus
# test plugins, so it is built only together with the tests.
if(TARGET bus_a)
  ko_add_bench(bus_benchmark SOURCES ${CMAKE_CURRENT_LIST_DIR}/bus_benchmark.cpp)
  target_include_directories(bus_benchmark PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_compile_definitions(bus_benchmark PRIVATE BUS_PLUGIN_DIR="$<TARGET_FILE_DIR:bus_a>")
  add_dependencies(bus_benchmark bus_a bus_b bus_c bus_d)
endif()
