// Stands in for qemu-system-x86_64.exe beside the Windows player: records
// what QEMU would be given and ends with the code the test asks for. Into
// the folder named by TRENNWICK_STAND_IN_RECORD it writes the command line
// byte for byte as Windows hands it over (command_line.bin), the arguments
// as the C runtime cuts it apart, as QEMU's does, each ended by a NUL
// (arguments.bin), and the ANSI code page the line is in (code_page.txt).
// It exits with TRENNWICK_STAND_IN_EXIT (0 when unset).
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <string>

int main(int argc, char** argv) {
  const char* record = std::getenv("TRENNWICK_STAND_IN_RECORD");
  if (record == nullptr) return 125;
  const std::string folder = std::string(record) + "\\";
  {
    std::ofstream line(folder + "command_line.bin", std::ios::binary);
    line << GetCommandLineA();
    std::ofstream arguments(folder + "arguments.bin", std::ios::binary);
    for (int i = 0; i < argc; ++i) arguments << argv[i] << '\0';
    std::ofstream(folder + "code_page.txt", std::ios::binary) << GetACP() << '\n';
    if (!line || !arguments) return 126;
  }
  const char* code = std::getenv("TRENNWICK_STAND_IN_EXIT");
  return code == nullptr ? 0 : std::atoi(code);
}
