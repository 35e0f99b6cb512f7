# Event bus throughput and latency against a plain queue of the same shape
# and a lock-free queue doing the same work.
# Needs the bus test plugins, so it is built only together with the tests.
if(TARGET bus_a)
  add_library(latency_plugin MODULE ${CMAKE_CURRENT_LIST_DIR}/latency_plugin.cpp)
  target_link_libraries(latency_plugin PRIVATE ko_sdk ko_warnings)
  set_target_properties(latency_plugin PROPERTIES PREFIX "" CXX_VISIBILITY_PRESET hidden)
  # The lock-free baseline: header-only, Debian's libconcurrentqueue-dev;
  # the product never links it.
  find_path(KO_CONCURRENTQUEUE_DIR concurrentqueue/blockingconcurrentqueue.h)
  if(NOT KO_CONCURRENTQUEUE_DIR)
    message(FATAL_ERROR "bus_benchmark needs libconcurrentqueue-dev (tools/install-deps.sh)")
  endif()
  ko_add_bench(bus_benchmark SOURCES ${CMAKE_CURRENT_LIST_DIR}/bus_benchmark.cpp)
  target_include_directories(bus_benchmark PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_include_directories(bus_benchmark SYSTEM PRIVATE ${KO_CONCURRENTQUEUE_DIR})
  target_compile_definitions(bus_benchmark PRIVATE BUS_PLUGIN_DIR="$<TARGET_FILE_DIR:bus_a>"
                                                   LATENCY_PLUGIN="$<TARGET_FILE:latency_plugin>")
  add_dependencies(bus_benchmark bus_a bus_b bus_c bus_d latency_plugin)
endif()
