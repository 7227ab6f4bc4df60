// Loading design plug-ins and the design files bound to them.
#include "sim/plugins.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "card/hex.h"
#include "sim/design.h"
#include "sim/shared_library.h"
#include "tv940/design_plugin.h"

namespace sim {
namespace {

using DesignsFunction = const tv940_design* const* (*)(std::size_t*);

constexpr std::size_t kMaxDesignsPerPlugin = 64;

struct Item {
  std::string library;
  std::string designFile;  // "" when not bound
};

std::vector<Item> itemsOf(const std::string& list) {
  std::vector<Item> items;
  const char separator = pathListSeparator();
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(separator, start);
    if (end == std::string::npos) end = list.size();
    const std::string item = list.substr(start, end - start);
    start = end + 1;
    if (item.empty()) continue;
    // The last '=' binds: a folder's name may hold one, a design file's not.
    const std::size_t equals = item.rfind('=');
    if (equals == std::string::npos) {
      items.push_back({item, ""});
    } else {
      items.push_back({item.substr(0, equals), item.substr(equals + 1)});
    }
  }
  return items;
}

std::optional<std::uint32_t> hexField(std::string_view text) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    text.remove_prefix(2);
  std::uint64_t value = 0;
  if (text.size() > 8 || !card::parseHexDigits(text, &value)) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

// The next line of a file, without its line end; false at the end.
bool readLine(std::FILE* file, std::string* line) {
  line->clear();
  int c = std::getc(file);
  if (c == EOF) return false;
  for (; c != EOF && c != '\n'; c = std::getc(file)) {
    line->push_back(static_cast<char>(c));
  }
  return true;
}

// The configuration space as the design file leaves it after a replay, one
// word per address from 0x4000; empty with *error when the file cannot be
// read or holds no configuration. Pairs outside the space reach no
// configuration memory and are left out.
std::vector<std::uint32_t> boundConfiguration(const std::string& path,
                                              std::string* error) {
  std::FILE* in = fileKind(path) == FileKind::Regular
                      ? std::fopen(path.c_str(), "rb")
                      : nullptr;
  if (in == nullptr) {
    *error = "cannot read the design file " + path;
    return {};
  }
  struct Closer {
    std::FILE* file;
    ~Closer() { std::fclose(file); }
  } closer{in};
  std::vector<std::uint32_t> words(card::kConfigurationEnd -
                                   card::kConfigurationBase);
  std::size_t pairs = 0;
  std::string line;
  for (std::size_t number = 1; readLine(in, &line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    const std::size_t firstEnd = line.find_first_of(" \t", first);
    const std::size_t second = firstEnd == std::string::npos
                                   ? firstEnd
                                   : line.find_first_not_of(" \t", firstEnd);
    const std::size_t secondEnd = second == std::string::npos
                                      ? second
                                      : line.find_first_of(" \t", second);
    const auto address = hexField(line.substr(first, firstEnd - first));
    const auto data =
        second == std::string::npos
            ? std::nullopt
            : hexField(line.substr(second, secondEnd == std::string::npos
                                               ? std::string::npos
                                               : secondEnd - second));
    if (!address || !data || *address >= card::kChipAddressLimit) {
      *error = "the design file " + path + " line " + std::to_string(number) +
               " is not an address and a data word in hexadecimal";
      return {};
    }
    if (*address >= card::kConfigurationBase &&
        *address < card::kConfigurationEnd) {
      words[*address - card::kConfigurationBase] = *data;
      ++pairs;
    }
  }
  if (pairs == 0) {
    *error = "the design file " + path +
             " writes nothing to the configuration space 0x4000-0xbfff";
    return {};
  }
  return words;
}

// The reason a design breaks the contract, or "".
std::string contractFault(const tv940_design* d, std::size_t index) {
  const std::string which = "design " + std::to_string(index);
  if (d == nullptr) return which + " is NULL";
  if (d->abi != TV940_DESIGN_ABI) {
    return which + " has abi " + std::to_string(d->abi) + ", not " +
           std::to_string(TV940_DESIGN_ABI);
  }
  if (d->name == nullptr || *d->name == '\0') return which + " has no name";
  if (d->create == nullptr) return which + " (" + d->name + ") has no create";
  if (d->write_column == nullptr) {
    return which + " (" + d->name + ") has no write_column";
  }
  if (d->read_column == nullptr) {
    return which + " (" + d->name + ") has no read_column";
  }
  return {};
}

// The loader's words without the path it starts them with.
std::string withoutPath(std::string why, const std::string& path) {
  if (why.rfind(path + ": ", 0) == 0) why.erase(0, path.size() + 2);
  return why;
}

// What the last successful load installed, so that each open of a card may
// ask again for the same list.
struct Loaded {
  std::atomic_flag busy = ATOMIC_FLAG_INIT;
  bool any = false;
  std::string list;
};

Loaded& loaded() {
  static Loaded l;
  return l;
}

bool load(const std::string& list, std::string* failure) {
  std::vector<void*> libraries;
  auto fail = [&](const std::string& line) {
    for (void* library : libraries) closeSharedLibrary(library);
    *failure = line;
    return false;
  };
  std::vector<DesignEntry> entries;
  std::set<std::uint32_t> identifications;
  for (const Item& item : itemsOf(list)) {
    const std::string& path = item.library;
    const std::string name = "design plug-in " + path + ": ";
    const FileKind kind = fileKind(path);
    if (kind == FileKind::Missing) return fail(name + "no such file");
    if (kind != FileKind::Regular) {
      return fail(name + "not a shared library (not a regular file)");
    }
    std::string why;
    void* library = openSharedLibrary(path, &why);
    if (library == nullptr) {
      return fail(name + "not a shared library: " + withoutPath(why, path));
    }
    libraries.push_back(library);
    auto designs = reinterpret_cast<DesignsFunction>(
        sharedLibrarySymbol(library, "tv940_designs"));
    if (designs == nullptr) return fail(name + "exports no tv940_designs");
    std::size_t count = 0;
    const tv940_design* const* list_ = designs(&count);
    if (count == 0) return fail(name + "tv940_designs gives no design");
    if (count > kMaxDesignsPerPlugin) {
      return fail(name + "tv940_designs gives " + std::to_string(count) +
                  " designs, more than " +
                  std::to_string(kMaxDesignsPerPlugin));
    }
    if (list_ == nullptr) return fail(name + "tv940_designs gives NULL");
    for (std::size_t i = 0; i < count; ++i) {
      if (const std::string fault = contractFault(list_[i], i); !fault.empty())
        return fail(name + fault);
      const tv940_design& d = *list_[i];
      if (!identifications.insert(d.identification).second) {
        return fail(name + "design " + d.name + " has identification 0x" +
                    card::hexText(d.identification) +
                    ", which another plug-in design has");
      }
    }
    for (std::size_t i = 0; i < count; ++i) {
      entries.push_back(contractEntry(*list_[i]));
    }
    if (!item.designFile.empty()) {
      // The plug-in's first design runs the bound file's configuration.
      DesignEntry& first = entries[entries.size() - count];
      first.boundConfiguration = boundConfiguration(item.designFile, &why);
      if (first.boundConfiguration.empty()) return fail(name + why);
    }
  }
  if (!installPluginDesigns(std::move(entries))) {
    return fail("design plug-ins " + list +
                ": too late, the designs are fixed once a design was "
                "recognised");
  }
  return true;  // the libraries stay loaded: their designs are installed
}

}  // namespace

bool loadDesignPlugins(const std::string& list, std::string* failure) {
  std::string ignored;
  if (failure == nullptr) failure = &ignored;
  Loaded& l = loaded();
  while (l.busy.test_and_set(std::memory_order_acquire)) {
  }
  bool ok = true;
  if (!l.any || l.list != list) {
    ok = list.empty() && !l.any ? true : load(list, failure);
    if (ok) {
      l.any = true;
      l.list = list;
    }
  }
  l.busy.clear(std::memory_order_release);
  return ok;
}

bool loadDesignPluginsFromEnvironment(std::string* failure) {
  std::string ignored;
  if (failure == nullptr) failure = &ignored;
  const char* list = std::getenv("TV940_SIM_DESIGNS");
  if (list == nullptr) return true;
  if (!loadDesignPlugins(list, failure)) {
    *failure += " (TV940_SIM_DESIGNS)";
    return false;
  }
  return true;
}

}  // namespace sim
