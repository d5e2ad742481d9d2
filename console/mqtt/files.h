#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace qm {

// What the publisher needs of the file system and the machine, per platform.
struct CloseFile {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, CloseFile>;

// The file opened to read; nullptr when there is no such file. Throws Error otherwise.
FilePtr OpenToRead(const std::wstring& path);
// The next line, without its line end; false at the end of the file.
bool ReadLine(std::FILE* file, std::string& line);
// `bytes` as the whole of `path`, all at once for any reader: written beside it, then renamed
// over it. Throws Error.
void ReplaceFile(const std::wstring& path, std::string_view bytes);
// The machine's name, for --bench's default.
std::wstring HostName();

}  // namespace qm
