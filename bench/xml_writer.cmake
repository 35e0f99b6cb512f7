ko_add_bench(xml_writer_benchmark SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/xml_writer_benchmark.cpp)
