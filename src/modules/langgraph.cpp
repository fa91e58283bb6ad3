// vorel_cloud.langgraph
#include "runtime/vorel.hpp"

namespace {
void body(vc::Module& m) { m.import("logging"); m.logger("vorel_cloud.langgraph"); }
}  // namespace

VOREL_MODULE(langgraph, "vorel_cloud.langgraph", body)
