#include "tools/qmpublish/file_bytes.h"

#include <cstdio>
#include <memory>

#include "platform/text.h"
#include "tools/qmpublish/publish_error.h"

namespace qm::publish {
namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

std::string ReadWholeFile(const std::filesystem::path& path) {
  std::unique_ptr<std::FILE, FileCloser> in(std::fopen(path.c_str(), "rb"));
  if (!in) {
    throw PublishError("cannot read " + path.string() + ": check that it exists and is readable");
  }
  std::string data;
  std::error_code error;
  const uintmax_t size = std::filesystem::file_size(path, error);
  if (!error) {
    data.reserve(size);
  }
  char buffer[1 << 16];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof(buffer), in.get())) > 0) {
    data.append(buffer, n);
  }
  if (std::ferror(in.get())) {
    throw PublishError("cannot read " + path.string() + ": read error");
  }
  return data;
}

std::filesystem::path PartialPath(const std::filesystem::path& path) {
  return path.string() + ".part~";
}

bool CommitPartial(const std::filesystem::path& partial,
                   const std::filesystem::path& path,
                   bool written) {
  std::error_code error;
  if (written) {
    std::filesystem::rename(partial, path, error);
  }
  if (!written || error) {
    std::filesystem::remove(partial, error);
    return false;
  }
  return true;
}

void WriteWholeFile(const std::filesystem::path& path, const std::string& data) {
  const std::filesystem::path partial = PartialPath(path);
  bool ok = false;
  {
    std::unique_ptr<std::FILE, FileCloser> out(std::fopen(partial.c_str(), "wb"));
    ok = out && std::fwrite(data.data(), 1, data.size(), out.get()) == data.size() &&
         std::fflush(out.get()) == 0;
  }
  if (!CommitPartial(partial, path, ok)) {
    throw PublishError("cannot write " + path.string() +
                       ": check that the folder is writable and the disk not full");
  }
}

std::string PlatformPath(const std::filesystem::path& path) {
  const std::string utf8 = path.string();
  std::string cp949 = platform::Utf8ToCp949(utf8);
  if (platform::Cp949ToUtf8(cp949) != utf8) {
    throw PublishError("the name " + utf8 +
                       " has characters that code page 949 cannot write; the updater's "
                       "extractor reads names in that code page: rename the file");
  }
  return cp949;
}

}  // namespace qm::publish
