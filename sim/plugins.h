// Design plug-ins: shared libraries that export tv940_designs()
// (<tv940/design_plugin.h>), loaded into the design registry before the
// first recognition.
#pragma once

#include <string>

namespace sim {

// Loads the plug-ins of a list ("a.so:b.so", ';' between them on Windows;
// "a.so=a.bfx" binds a plug-in's first design to a design file) and installs
// their designs. All or nothing: on failure no design of the list is
// installed, and *failure is one line naming the file and the reason. Loading
// the list loaded before does nothing; a different list once a design was
// recognised fails. An empty list loads nothing.
bool loadDesignPlugins(const std::string& list, std::string* failure);

// The list in TV940_SIM_DESIGNS, loaded as above (true when it is unset).
bool loadDesignPluginsFromEnvironment(std::string* failure);

}  // namespace sim
