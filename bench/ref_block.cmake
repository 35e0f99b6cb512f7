# What exact reference checks and per-plugin record copies cost on the
# dispatch path, beside the plain operations they extend, in the same run.
ko_add_bench(ref_block_benchmark SOURCES ${CMAKE_CURRENT_LIST_DIR}/ref_block_benchmark.cpp)
