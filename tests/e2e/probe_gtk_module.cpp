// A GTK module as an attacker would name it in ~/.config/gtk-3.0/settings.ini (gtk-modules=):
// GTK loads it when Qt's GTK platform theme starts GTK inside Vantorel, and the moment it is
// loaded it tries what probe_attacks.h lists.
#include "probe_attacks.h"

namespace {

void ProbeLoaded();

__attribute__((constructor)) void ProbeLoaded() {
    ProbeAttacks::Run(reinterpret_cast<const void*>(&ProbeLoaded));
}

} // namespace

extern "C" void gtk_module_init(int*, char***) {}
