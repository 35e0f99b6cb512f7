// The table of loaded objects; see loaded_objects.h.
#include "core/loaded_objects.h"

#include <dlfcn.h>
#include <errno.h>
#include <link.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "plugins/plugin_call.h"

namespace ko::core {

namespace {

// The core and its libraries are a dozen objects; the rest is room for
// plugins and their own libraries. Objects beyond it go unnamed.
constexpr size_t TableSize = 256;

struct Slot {
  // Odd while the main thread rewrites the slot.
  std::atomic<uint64_t> changes{0};
  std::atomic<uintptr_t> start{0};
  std::atomic<uintptr_t> end{0};  // 0 = empty
  std::atomic<uintptr_t> base{0};
  std::atomic<const char*> file{nullptr};
  std::atomic<const char*> plugin{nullptr};
  std::atomic<uint8_t> pluginIndex{0};
};

std::array<Slot, TableSize> table;

struct PluginLibrary {
  void* handle;
  uintptr_t base;
  const char* name;
  uint8_t index;
};

struct Mapping {
  uintptr_t start, end, base;
  const char* file;
};

// Guards `plugins` and the writing of `table`.
std::mutex registryLock;
std::vector<PluginLibrary> plugins;

const char* fileNameOf(const char* path) {
  if (path == nullptr || *path == '\0') return program_invocation_short_name;
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

int collect(dl_phdr_info* info, size_t, void* data) {
  uintptr_t low = UINTPTR_MAX;
  uintptr_t high = 0;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& header = info->dlpi_phdr[i];
    if (header.p_type != PT_LOAD) continue;
    low = std::min<uintptr_t>(low, info->dlpi_addr + header.p_vaddr);
    high = std::max<uintptr_t>(high, info->dlpi_addr + header.p_vaddr + header.p_memsz);
  }
  if (low >= high) return 0;
  auto& mappings = *static_cast<std::vector<Mapping>*>(data);
  // Interned after the walk: the loader's lock is held here. No exception
  // may leave through the loader: out of memory ends the walk instead.
  try {
    mappings.push_back({low, high, info->dlpi_addr, info->dlpi_name});
  } catch (const std::bad_alloc&) {
    return 1;
  }
  return 0;
}

void writeSlot(Slot& slot, const Mapping& mapping, const PluginLibrary* plugin) noexcept {
  const uint64_t changes = slot.changes.load(std::memory_order_relaxed);
  slot.changes.store(changes + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  slot.start.store(mapping.start, std::memory_order_relaxed);
  slot.end.store(mapping.end, std::memory_order_relaxed);
  slot.base.store(mapping.base, std::memory_order_relaxed);
  slot.file.store(mapping.file, std::memory_order_relaxed);
  slot.plugin.store(plugin != nullptr ? plugin->name : nullptr, std::memory_order_relaxed);
  slot.pluginIndex.store(plugin != nullptr ? plugin->index : 0, std::memory_order_relaxed);
  slot.changes.store(changes + 2, std::memory_order_release);
}

// Holding registryLock.
void rebuild() noexcept {
  try {
    std::vector<Mapping> mappings;
    mappings.reserve(64);
    (void)dl_iterate_phdr(collect, &mappings);
    // Plugins first, so that a process with more objects than slots still
    // names every plugin.
    std::stable_partition(mappings.begin(), mappings.end(), [](const Mapping& m) {
      return std::any_of(plugins.begin(), plugins.end(), [&](const PluginLibrary& p) { return p.base == m.base; });
    });
    size_t used = 0;
    for (Mapping& mapping : mappings) {
      if (used == TableSize) break;
      mapping.file = internPluginName(fileNameOf(mapping.file));
      const auto plugin = std::find_if(plugins.begin(), plugins.end(),
                                       [&](const PluginLibrary& p) { return p.base == mapping.base; });
      writeSlot(table[used++], mapping, plugin != plugins.end() ? &*plugin : nullptr);
    }
    for (; used < TableSize && table[used].end.load(std::memory_order_relaxed) != 0; ++used) {
      writeSlot(table[used], Mapping{0, 0, 0, nullptr}, nullptr);
    }
  } catch (const std::bad_alloc&) {
    // The table keeps what it had: frames may go unnamed, nothing worse.
  }
}

}  // namespace

bool findLoadedObject(uintptr_t address, LoadedObject& found) noexcept {
  for (const Slot& slot : table) {
    const uint64_t before = slot.changes.load(std::memory_order_acquire);
    if ((before & 1) != 0) continue;
    const uintptr_t start = slot.start.load(std::memory_order_relaxed);
    const uintptr_t end = slot.end.load(std::memory_order_relaxed);
    LoadedObject object;
    object.base = slot.base.load(std::memory_order_relaxed);
    object.file = slot.file.load(std::memory_order_relaxed);
    object.plugin = slot.plugin.load(std::memory_order_relaxed);
    object.pluginIndex = slot.pluginIndex.load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (slot.changes.load(std::memory_order_relaxed) != before) continue;
    if (end == 0) break;  // the first empty slot ends the table
    if (address >= start && address < end) {
      found = object;
      return true;
    }
  }
  return false;
}

void refreshLoadedObjects() noexcept {
  std::lock_guard guard(registryLock);
  rebuild();
}

void notePluginLibrary(void* handle, const char* name, uint8_t index) noexcept {
  link_map* map = nullptr;
  if (handle == nullptr || dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return;
  std::lock_guard guard(registryLock);
  try {
    plugins.push_back({handle, static_cast<uintptr_t>(map->l_addr), name, index});
  } catch (const std::bad_alloc&) {
    return;
  }
  rebuild();
}

void forgetPluginLibrary(void* handle) noexcept {
  std::lock_guard guard(registryLock);
  std::erase_if(plugins, [&](const PluginLibrary& p) { return p.handle == handle; });
  // Also drops the libraries that went with it.
  rebuild();
}

}  // namespace ko::core
