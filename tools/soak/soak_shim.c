/*
 * Preloaded into the core by the soak, never shipped. Two things the soak
 * cannot see from outside:
 *  - SOAK_TOTALRAM_MIB=N makes sysinfo report N MiB of RAM, so that a machine
 *    of any size gets the small camera's throttling limit;
 *  - SOAK_MALLINFO=FILE gets, once a second, the bytes the allocator has
 *    handed out and not had back (mallinfo2: arena and mmapped chunks in
 *    use), which is what the core holds even when the allocator keeps freed
 *    memory resident. Written by a thread of the shim's own, replaced whole.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <malloc.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sysinfo.h>
#include <unistd.h>

__attribute__((visibility("default"))) int sysinfo(struct sysinfo* info) {
  static int (*real)(struct sysinfo*) = NULL;
  if (real == NULL) real = (int (*)(struct sysinfo*))dlsym(RTLD_NEXT, "sysinfo");
  if (real == NULL) return -1;
  const int result = real(info);
  const char* mib = getenv("SOAK_TOTALRAM_MIB");
  if (result == 0 && mib != NULL && *mib != '\0') {
    info->totalram = strtoul(mib, NULL, 10) << 20;
    info->mem_unit = 1;
  }
  return result;
}

static void* sampleMallinfo(void* path) {
  char temporary[4096];
  if (snprintf(temporary, sizeof temporary, "%s.new", (const char*)path) >= (int)sizeof temporary) return NULL;
  for (;;) {
    const struct mallinfo2 info = mallinfo2();
    FILE* f = fopen(temporary, "w");
    if (f != NULL) {
      const int written = fprintf(f, "%zu\n", info.uordblks + info.hblkhd);
      if (fclose(f) == 0 && written > 0) rename(temporary, (const char*)path);
    }
    sleep(1);
  }
  return NULL;
}

__attribute__((constructor)) static void startSampler(void) {
  const char* path = getenv("SOAK_MALLINFO");
  if (path == NULL || *path == '\0') return;
  pthread_t thread;
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return;
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attributes, 64 * 1024);
  /* Detached: it only reads the allocator and writes its own file until the
     process ends. */
  if (pthread_create(&thread, &attributes, sampleMallinfo, strdup(path)) != 0) return;
  pthread_attr_destroy(&attributes);
}
