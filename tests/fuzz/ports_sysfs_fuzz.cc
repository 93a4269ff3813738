// Port discovery over a small sysfs tree built from the input: a few tty entries (a
// name, whether a device stands behind it, what its UART type file says, whether
// /dev has its node) and the kernel's list of active consoles. The list names exactly
// the entries with hardware and a device node, never an active console, USB adapters
// first and each kind in number order; the program's port list keeps at most 25.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_check.h"
#include "platform/posix/ports_sysfs.h"
#include "platform/registry.h"

namespace {

namespace fs = std::filesystem;

struct Entry {
  std::string name;  // as sysfs writes it: '!' for a '/' of the /dev name
  bool has_device;
  const char* type;  // the UART type file's contents, nullptr for none
  bool has_node;
  bool is_console;
};

// What a type file may say; the first three mean "no UART in this slot".
const char* const kTypes[] = {"0\n", "0", "00", "4\n", "16\n", "", "x", " 4"};
bool TypeSaysAbsent(const char* type) {
  return type != nullptr &&
         (std::string(type) == "0\n" || std::string(type) == "0" || std::string(type) == "00");
}

const char* const kKinds[] = {"ttyS",     "ttyUSB", "ttyACM", "ttyAMA", "rfcomm",
                              "ttyXRUSB", "pts!",   "tty",    "ttymxc", "ircomm"};

// A name that can be a file name whose '!'s turn into a path below /dev: no empty,
// "." or ".." part, nothing but letters, digits and a few marks.
bool IsUsableName(const std::string& name) {
  if (name.empty() || name.size() > 40) return false;
  if (!std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '!' || c == '.' || c == '_' || c == '-';
      })) {
    return false;
  }
  size_t start = 0;
  while (true) {
    const size_t bang = name.find('!', start);
    const std::string part = name.substr(start, bang == std::string::npos ? bang : bang - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (bang == std::string::npos) return true;
    start = bang + 1;
  }
}

std::string DevName(std::string name) {
  std::replace(name.begin(), name.end(), '!', '/');
  return name;
}

// More adapters than the program's list holds, in a tree of their own that stays for
// the whole run: a tree costs file system calls, so the inputs add a few entries to
// it or to an empty tree, and take them away again.
constexpr int kCrowd = 26;
std::string CrowdName(int i) { return "ttyUSB" + std::to_string(1000 + i); }

struct Input {
  bool crowd;
  std::vector<Entry> entries;
  bool tty0_is_console;
};

Input Decode(FuzzedDataProvider& input) {
  Input decoded{input.ConsumeIntegralInRange(0, 15) == 0, {}, false};
  std::set<std::string> names{"console"};
  for (int i = 0; i < kCrowd; ++i) names.insert(CrowdName(i));
  const int count = input.ConsumeIntegralInRange(0, 8);
  for (int i = 0; i < count && input.remaining_bytes() > 0; ++i) {
    std::string name;
    if (input.ConsumeIntegralInRange(0, 7) != 0) {
      name = std::string(kKinds[input.ConsumeIntegralInRange<size_t>(0, std::size(kKinds) - 1)]) +
             std::to_string(input.ConsumeIntegralInRange(0, 40));
    } else {
      name = input.ConsumeRandomLengthString(24);
    }
    const uint8_t flags = input.ConsumeIntegral<uint8_t>();
    // A name below a crowd port's node would need that node to be a folder.
    if (!IsUsableName(name) || names.count(name.substr(0, name.find('!'))) > 0 ||
        !names.insert(name).second) {
      continue;
    }
    const int type = flags >> 4;
    decoded.entries.push_back(Entry{
        name, (flags & 1) != 0, type < static_cast<int>(std::size(kTypes)) ? kTypes[type] : nullptr,
        (flags & 2) != 0, (flags & 4) != 0});
  }
  decoded.tty0_is_console = input.ConsumeBool();
  return decoded;
}

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  FUZZ_CHECK(out.good());
}

struct Tree {
  fs::path class_dir;
  fs::path dev_dir;
};

// The two trees of this fuzzing process on a memory file system, removed at exit.
struct Scratch {
  Scratch() {
    for (const Tree* tree : {&plain, &crowd}) {
      fs::create_directories(tree->class_dir / "console");
      fs::create_directories(tree->dev_dir);
    }
    for (int i = 0; i < kCrowd; ++i) {
      fs::create_directories(crowd.class_dir / CrowdName(i) / "device");
      WriteFile(crowd.dev_dir / CrowdName(i), "");
    }
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(base, ignored);
  }
  const fs::path base =
      (fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path()) /
      ("strikewell-fuzz-sysfs-" + std::to_string(std::random_device()()));
  const Tree plain{base / "plain" / "class", base / "plain" / "dev"};
  const Tree crowd{base / "crowd" / "class", base / "crowd" / "dev"};
};

// Adds the entries to a tree and takes exactly them away again.
class Additions {
 public:
  Additions(const Tree& tree, const std::vector<Entry>& entries) {
    for (const Entry& entry : entries) {
      const fs::path dir = tree.class_dir / entry.name;
      Make(dir);
      if (entry.has_device) Make(dir / "device");
      if (entry.type != nullptr) {
        WriteFile(dir / "type", entry.type);
        made_.push_back(dir / "type");
      }
      if (entry.has_node) AddNode(tree.dev_dir, DevName(entry.name));
    }
  }
  ~Additions() {
    for (auto path = made_.rbegin(); path != made_.rend(); ++path) {
      std::error_code error;
      fs::remove(*path, error);
      FUZZ_CHECK(!error);
    }
  }

 private:
  void Make(const fs::path& dir) {
    fs::create_directory(dir);
    made_.push_back(dir);
  }

  // "a" and "a/b" cannot both have nodes (/dev/a is a file or a folder): the first
  // one made wins, and the check looks at what is there.
  void AddNode(const fs::path& dev_dir, const std::string& dev_name) {
    fs::path dir = dev_dir;
    const fs::path relative(dev_name);
    for (auto part = relative.begin(); std::next(part) != relative.end(); ++part) {
      dir /= *part;
      std::error_code not_made;
      if (fs::create_directory(dir, not_made)) made_.push_back(dir);
      if (not_made) return;
    }
    const fs::path node = dev_dir / relative;
    if (fs::exists(node)) return;
    if (std::ofstream(node, std::ios::binary).is_open()) made_.push_back(node);
  }

  std::vector<fs::path> made_;
};

// A name as the listing orders it: the kind (the name without its trailing number),
// then the number, USB adapters first, then ACM, then the others.
struct Kind {
  int rank;
  std::string kind;
  std::string number;  // digits, as in the name
};

Kind KindOf(const std::string& name) {
  Kind kind{2, name, ""};
  while (!kind.kind.empty() && kind.kind.back() >= '0' && kind.kind.back() <= '9') {
    kind.number.insert(kind.number.begin(), kind.kind.back());
    kind.kind.pop_back();
  }
  kind.rank = kind.kind == "ttyUSB" ? 0 : kind.kind == "ttyACM" ? 1 : 2;
  return kind;
}

// Whether b may follow a in the listing: ttyS2 before ttyS10.
bool InOrder(const std::string& a, const std::string& b) {
  const Kind first = KindOf(a);
  const Kind second = KindOf(b);
  if (first.rank != second.rank) return first.rank < second.rank;
  if (first.kind != second.kind || first.number.empty() || second.number.empty()) return true;
  if (first.number.size() > 9 || second.number.size() > 9) return true;
  return std::stol(first.number) <= std::stol(second.number);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Scratch scratch;
  FuzzedDataProvider provider(data, size);
  const Input input = Decode(provider);
  const Tree& tree = input.crowd ? scratch.crowd : scratch.plain;
  std::vector<Entry> entries = input.entries;
  if (input.crowd) {
    for (int i = 0; i < kCrowd; ++i)
      entries.push_back(Entry{CrowdName(i), true, nullptr, true, false});
  }

  const Additions additions(tree, input.entries);
  std::set<std::string> consoles;
  if (input.tty0_is_console) consoles.insert("tty0");
  for (const Entry& entry : input.entries) {
    if (entry.is_console) consoles.insert(entry.name);
  }
  std::string active;
  for (const std::string& name : consoles) active += name + " ";
  WriteFile(tree.class_dir / "console" / "active", active + "\n");
  const fs::path class_dir = tree.class_dir;
  const fs::path dev_dir = tree.dev_dir;

  strikewell::SysfsPortNames ports(class_dir.string(), dev_dir.string());
  const std::string text = ports.GetSerialPortNames();

  // The names made here need no quotes, so the commas split them.
  std::vector<std::string> listed;
  if (!text.empty()) {
    size_t start = 0;
    while (true) {
      const size_t comma = text.find(',', start);
      listed.push_back(text.substr(start, comma == std::string::npos ? comma : comma - start));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  }
  std::set<std::string> expected;
  for (const Entry& entry : entries) {
    // A node below /dev for "a!b" also makes /dev/a a folder, which an entry "a"
    // then finds there.
    const bool node_exists = fs::exists(dev_dir / DevName(entry.name));
    const bool is_console = consoles.count(entry.name) > 0;
    if (entry.has_device && !TypeSaysAbsent(entry.type) && !is_console && node_exists) {
      expected.insert(DevName(entry.name));
    }
    if (is_console) {
      FUZZ_CHECK(std::find(listed.begin(), listed.end(), DevName(entry.name)) == listed.end());
    }
  }
  FUZZ_CHECK(std::set<std::string>(listed.begin(), listed.end()) == expected);
  FUZZ_CHECK(listed.size() == expected.size());
  for (size_t i = 1; i < listed.size(); ++i) FUZZ_CHECK(InOrder(listed[i - 1], listed[i]));

  // The program's numbered list, from the same text (a second scan would only cost).
  struct SameText : strikewell::PortNames {
    explicit SameText(std::string names) : names_(std::move(names)) {}
    std::string GetSerialPortNames() override { return names_; }
    std::string names_;
  } same_text(text);
  int32_t count = 0;
  strikewell::PortListType list;
  strikewell::ListCommPort(count, list, same_text);
  FUZZ_CHECK(count >= 1 && count <= strikewell::kMaxPorts);
  for (int32_t i = 1; i <= count && static_cast<size_t>(i) <= listed.size(); ++i) {
    FUZZ_CHECK(list[i] == listed[i - 1]);
  }
  return 0;
}
