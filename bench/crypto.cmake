# Cipher and digest throughput of the core's own code beside OpenSSL's
# software paths in the same run. OpenSSL is the baseline only.
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
ko_add_bench(crypto_benchmark SOURCES ${CMAKE_CURRENT_LIST_DIR}/crypto_benchmark.cpp LIBS OpenSSL::Crypto)
