// QEMU's command line as the mapping units build it. An argument that
// names a file holds the file's use in the plan, not its name, so that the
// arguments are rendered from the decided plan (a descriptor set on Linux,
// the placed name on Windows) and nothing is parsed back out of an
// argument; every use is in the plan before anything is rendered. This
// header is below every unit.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

struct QemuArgument {
  enum class Kind {
    kText,        // `text` as it is
    kFileName,    // `text`, then the use's file name as an option value, then `after`
    kBlockNodes,  // the -blockdev nodes of the use's image, the top one named `text`
  };
  Kind kind = Kind::kText;
  std::string text;
  std::string after;
  std::size_t use = 0;
  bool readOnly = false;  // kBlockNodes: the guest only reads the image

  bool operator==(const QemuArgument& other) const = default;
};

// What the rendering asks of the plan: how each use's files reach QEMU.
class FileRendering {
 public:
  virtual ~FileRendering() = default;
  // Arguments that come first (Linux: -add-fd for every descriptor set).
  virtual std::vector<std::string> Preamble() const = 0;
  // What QEMU opens for the use's file, not yet escaped.
  virtual std::string FileName(std::size_t use) const = 0;
  // "-blockdev" and its value for each node of the use's image; the top
  // node is named `nodeName`.
  virtual std::vector<std::string> BlockNodes(std::size_t use, const std::string& nodeName,
                                              bool readOnly) const = 0;
};

struct QemuInvocation {
  std::vector<QemuArgument> arguments;

  void Add(std::initializer_list<std::string> texts);
  void AddFileName(std::string before, std::size_t use, std::string after);
  void AddBlockNodes(std::string nodeName, std::size_t use, bool readOnly);
};

// The arguments after the program's name, each exactly as QEMU gets it.
std::vector<std::string> RenderArguments(const QemuInvocation& invocation,
                                         const FileRendering& files);

// A value inside a QEMU option list: every comma doubled.
std::string EscapeQemuOptionValue(std::string_view value);
