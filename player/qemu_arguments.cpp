#include "player/qemu_arguments.h"

void QemuInvocation::Add(std::initializer_list<std::string> texts) {
  for (const std::string& text : texts) {
    arguments.push_back({QemuArgument::Kind::kText, text, {}, 0, false});
  }
}

void QemuInvocation::AddFileName(std::string before, std::size_t use, std::string after) {
  arguments.push_back(
      {QemuArgument::Kind::kFileName, std::move(before), std::move(after), use, false});
}

void QemuInvocation::AddBlockNodes(std::string nodeName, std::size_t use, bool readOnly) {
  arguments.push_back({QemuArgument::Kind::kBlockNodes, std::move(nodeName), {}, use, readOnly});
}

std::vector<std::string> RenderArguments(const QemuInvocation& invocation,
                                         const FileRendering& files) {
  std::vector<std::string> rendered = files.Preamble();
  for (const QemuArgument& argument : invocation.arguments) {
    switch (argument.kind) {
      case QemuArgument::Kind::kText:
        rendered.push_back(argument.text);
        break;
      case QemuArgument::Kind::kFileName:
        rendered.push_back(argument.text + EscapeQemuOptionValue(files.FileName(argument.use)) +
                           argument.after);
        break;
      case QemuArgument::Kind::kBlockNodes: {
        const std::vector<std::string> nodes =
            files.BlockNodes(argument.use, argument.text, argument.readOnly);
        rendered.insert(rendered.end(), nodes.begin(), nodes.end());
        break;
      }
    }
  }
  return rendered;
}

std::string EscapeQemuOptionValue(std::string_view value) {
  std::string escaped;
  for (char c : value) {
    escaped += c;
    if (c == ',') escaped += ',';
  }
  return escaped;
}
