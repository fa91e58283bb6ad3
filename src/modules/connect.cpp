// vorel_cloud.connect
#include "runtime/vorel.hpp"

namespace {
void body(vc::Module& m) { m.import("logging"); m.logger("vorel_cloud.connect"); }
}  // namespace

VOREL_MODULE(connect, "vorel_cloud.connect", body)
