// A plugin as an attacker would plant it: the moment it is loaded, before Qt asks it for
// anything, it tries what probe_attacks.h lists and notes the outcome. Built twice, as a
// platform theme and as a platform plugin, both with the key "vantorelprobe".
#pragma once

#include "probe_attacks.h"

#include <QObject>

namespace {

void ProbeLoaded();

__attribute__((constructor)) void ProbeLoaded() {
    ProbeAttacks::Run(reinterpret_cast<const void*>(&ProbeLoaded));
}

} // namespace
