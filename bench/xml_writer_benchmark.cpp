// The XML writer on a configuration document of 64 plugins. Baseline: the
// same document printed into a string that grows as it goes. Compare the
// measured-and-reserved render (what the core does) and the measuring pass
// alone against it, as ratios within one run.
#include <benchmark/benchmark.h>

#include <string>

#include "config/xml_tree.h"
#include "config/xml_writer.h"
#include "plugins/inventory.h"

namespace {

using namespace ko::core;

struct ConfigDocument {
  ConfigDocument() {
    doc.append_node(doc.allocate_node(rapidxml::node_declaration));
    XmlNode* kora = appendElement(doc, doc, "Kora");
    XmlNode* modules = appendElement(doc, *kora, "Modules");
    XmlNode* core = addModuleElement(doc, *modules, INT32_MIN, "Core", "26.2.3.0");
    for (int i = 0; i < 64; ++i) {
      addPluginElement(doc, *core, i << 16, "Camera&Recorder.so", i, 2 * i, 0, 25);
    }
  }
  XmlDocument doc;
};

void growingString(benchmark::State& state) {
  ConfigDocument d;
  for (auto _ : state) {
    std::string text;
    printXml(text, d.doc, XmlPrintNoIndent, 0);
    benchmark::DoNotOptimize(text.data());
  }
}
BENCHMARK(growingString);

void measuredRender(benchmark::State& state) {
  ConfigDocument d;
  for (auto _ : state) {
    std::string text = renderXml(d.doc, measureXml(d.doc, XmlPrintNoIndent, 0));
    benchmark::DoNotOptimize(text.data());
  }
}
BENCHMARK(measuredRender);

void measureOnly(benchmark::State& state) {
  ConfigDocument d;
  for (auto _ : state) benchmark::DoNotOptimize(measureXml(d.doc, XmlPrintNoIndent, 0));
}
BENCHMARK(measureOnly);

}  // namespace

BENCHMARK_MAIN();
