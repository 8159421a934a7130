#include "bench/update/signed_release.h"

#include <exception>
#include <fstream>
#include <vector>

#include "platform/sha256.h"
#include "tools/qmpublish/signing_key.h"
#include "update/integrity_format.h"
#include "util/hex.h"

namespace qm::bench {
namespace {

namespace fs = std::filesystem;

bool HashFile(const fs::path& path, std::string* hex) {
  std::ifstream in(path, std::ios::binary);
  platform::Sha256 hash;
  std::vector<char> block(1 << 20);
  while (in) {
    in.read(block.data(), static_cast<std::streamsize>(block.size()));
    hash.Update(block.data(), static_cast<size_t>(in.gcount()));
  }
  if (in.bad()) {
    return false;
  }
  *hex = HexOf(hash.Final());
  return true;
}

bool WriteAll(const fs::path& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
  return static_cast<bool>(out.flush());
}

}  // namespace

bool PublishSignedManifest(const fs::path& www,
                           const Release& release,
                           const fs::path& key_file,
                           std::string* error) {
  constexpr uint64_t kSerial = 1;
  std::string manifest = release.manifest + "[" + update::kHashSection + "]\r\n" +
                         update::kSerialKey + "=" + std::to_string(kSerial) + "\r\n";
  // The launcher does not fetch content indexes: the line names the hash of
  // an empty one, which costs the launcher nothing either way.
  const std::string empty_index = HexOf(platform::Sha256Of("QMIDX 1\r\n"));
  for (const ReleaseArchive& archive : release.archives) {
    update::ArchiveHash hash;
    hash.size = archive.archive_bytes;
    hash.index_sha256 = empty_index;
    if (!HashFile(www / archive.url_path, &hash.sha256)) {
      *error = "cannot read " + (www / archive.url_path).string();
      return false;
    }
    // Keys are paths below the download base, www/QuillMar/.
    const std::string key = archive.url_path.substr(std::string("QuillMar/").size());
    manifest += key + "=" + update::HashLineValue(hash) + "\r\n";
  }
  try {
    const publish::SigningKey key = publish::SigningKey::Load(key_file);
    const fs::path folder = www / "signed" / "QuillMar";
    fs::create_directories(folder);
    if (!WriteAll(folder / "QuillMar.ini", manifest) ||
        !WriteAll(folder / update::kSignatureFile,
                  update::SignatureText({kSerial, key.Sign(manifest)}))) {
      *error = "cannot write below " + folder.string();
      return false;
    }
  } catch (const std::exception& e) {
    *error = e.what();
    return false;
  }
  return true;
}

}  // namespace qm::bench
