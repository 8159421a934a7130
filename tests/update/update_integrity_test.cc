// The update run's integrity checks against nginx on loopback: a launcher
// with a pinned key takes only a manifest whose signature verifies and whose
// serial does not go back; every launcher unpacks only archives whose size
// and SHA-256 match the manifest's section H. Signatures are made with the
// publisher's own signing key (libcrypto), so this runs natively only; the
// Windows build meets the same cases end to end.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/ecdsa.h"
#include "platform/sha256.h"
#include "tests/update/update_fixture.h"
#include "tools/qmpublish/signing_key.h"
#include "update/integrity_format.h"
#include "util/hex.h"
#include "util/texts.h"

namespace qm::update {
namespace {

namespace fs = std::filesystem;
using test::Archive;
using test::UpdateFixture;

const publish::SigningKey& KeyNamed(const std::string& name) {
  static std::map<std::string, publish::SigningKey> keys;
  auto found = keys.find(name);
  if (found == keys.end()) {
    std::random_device random;
    const fs::path file =
        fs::temp_directory_path() / ("qm-key-" + std::to_string(random()) + name + ".pem");
    found = keys.emplace(name, publish::SigningKey::Generate(file)).first;
    fs::remove(file);
  }
  return found->second;
}
const publish::SigningKey& ReleaseKey() {
  return KeyNamed("release");
}
const publish::SigningKey& OtherKey() {
  return KeyNamed("other");
}

std::string HashValue(const std::string& archive) {
  return HashLineValue({archive.size(), HexOf(platform::Sha256Of(archive)),
                        HexOf(platform::Sha256Of("QMIDX 1\r\n"))});
}

// How a case's server differs from an honest signed release.
enum class Server {
  kHonest,
  kManifestChangedAfterSigning,
  kNoSignature,
  kSignedByOtherKey,
  kSignatureNamesOtherSerial,
  kSignatureMalformed,
  kArchiveSwapped,  // another valid zip, correct CRCs, same name
  kArchiveTruncated,
  kArchiveWithoutLine,
  kLineMalformed,
  kNoHashSection,  // an old-style manifest
  kUnsigned,
};

// A release whose engine archive (below the engine folder) is new: the
// manifest, its section H and, unless the case says otherwise, a signature.
void ServeRelease(UpdateFixture& f, Server server, uint64_t serial) {
  const std::string part = Archive("part", "engine 13");
  std::string served_part = part;
  if (server == Server::kArchiveSwapped) {
    served_part = Archive("part", "evil engine");
  } else if (server == Server::kArchiveTruncated) {
    served_part = part.substr(0, part.size() - 10);
  }
  f.Serve("QuillMar/engine/Part.zip", served_part);

  std::vector<std::string> lines = {
      "[V]", "82001500=3.0.0.0::engine", "Part=13", "Data=7", "[SP]", "82001500_Sp=3"};
  if (server != Server::kNoHashSection) {
    lines.insert(lines.end(), {"[H]", "Serial=" + std::to_string(serial)});
    if (server == Server::kLineMalformed) {
      lines.push_back("engine/Part.zip=" + std::to_string(part.size()) + ",not-a-digest");
    } else if (server != Server::kArchiveWithoutLine) {
      lines.push_back("engine/Part.zip=" + HashValue(part));
    }
  }
  std::string manifest;
  for (const std::string& line : lines) {
    manifest += line + "\r\n";
  }
  ManifestSignature signature{serial, ReleaseKey().Sign(manifest)};
  if (server == Server::kSignedByOtherKey) {
    signature.signature = OtherKey().Sign(manifest);
  } else if (server == Server::kSignatureNamesOtherSerial) {
    signature.serial = serial + 1;
  } else if (server == Server::kManifestChangedAfterSigning) {
    manifest.replace(manifest.find("Part=13"), 7, "Part=14");
  }
  f.Serve("QuillMar/QuillMar.ini", manifest);
  if (server == Server::kSignatureMalformed) {
    f.Serve("QuillMar/QuillMar.ini.sig", "Serial=" + std::to_string(serial) + "\r\nECDSA=00\r\n");
  } else if (server != Server::kNoSignature && server != Server::kUnsigned &&
             server != Server::kNoHashSection) {
    f.Serve("QuillMar/QuillMar.ini.sig", SignatureText(signature));
  }
}

TEST(UpdateIntegrityTest, OnlyWhatTheManifestVouchesForIsFetchedAndInstalled) {
  const std::vector<std::string> sig_only = {"QuillMar/QuillMar.ini", "QuillMar/QuillMar.ini.sig"};
  const std::vector<std::string> sig_and_part = {
      "QuillMar/QuillMar.ini", "QuillMar/QuillMar.ini.sig", "QuillMar/engine/Part.zip"};
  const std::vector<std::string> part_only = {"QuillMar/QuillMar.ini", "QuillMar/engine/Part.zip"};
  struct Case {
    const char* name;
    bool pinned;  // the launcher was built with the release key
    Server server;
    uint64_t accepted_before;  // recorded serial; 0: none
    int32_t result;
    std::string status;  // "" = the engine row's progress text
    std::vector<std::string> requested;
    std::string recorded_serial;
  };
  const std::string refused = texts::kServerFilesFailedCheck;
  const std::string engine_failed = texts::kEngineDownloadFailed;
  const std::vector<Case> cases = {
      {"signed release", true, Server::kHonest, 0, 0, "", sig_and_part, "5"},
      {"same serial again", true, Server::kHonest, 5, 0, "", sig_and_part, "5"},
      {"newer serial recorded", true, Server::kHonest, 4, 0, "", sig_and_part, "5"},
      {"replayed older manifest", true, Server::kHonest, 6, -1, refused, sig_only, "6"},
      {"changed after signing", true, Server::kManifestChangedAfterSigning, 0, -1, refused,
       sig_only, ""},
      {"no signature file", true, Server::kNoSignature, 0, -1, refused, sig_only, ""},
      {"signed by another key", true, Server::kSignedByOtherKey, 0, -1, refused, sig_only, ""},
      {"signature names another serial", true, Server::kSignatureNamesOtherSerial, 0, -1, refused,
       sig_only, ""},
      {"malformed signature", true, Server::kSignatureMalformed, 0, -1, refused, sig_only, ""},
      {"unsigned manifest", true, Server::kUnsigned, 0, -1, refused, sig_only, ""},
      {"old-style manifest", true, Server::kNoHashSection, 0, -1, refused, sig_only, ""},
      {"archive swapped", true, Server::kArchiveSwapped, 0, -3, engine_failed, sig_and_part, "5"},
      {"archive truncated", true, Server::kArchiveTruncated, 0, -3, engine_failed, sig_and_part,
       "5"},
      {"archive the signature does not cover", true, Server::kArchiveWithoutLine, 0, -3,
       engine_failed, sig_and_part, "5"},
      {"key-less: signed release", false, Server::kHonest, 0, 0, "", part_only, ""},
      {"key-less: unsigned release", false, Server::kUnsigned, 0, 0, "", part_only, ""},
      {"key-less: old-style manifest", false, Server::kNoHashSection, 0, 0, "", part_only, ""},
      {"key-less: archive without a line", false, Server::kArchiveWithoutLine, 0, 0, "", part_only,
       ""},
      {"key-less: archive swapped", false, Server::kArchiveSwapped, 0, -3, engine_failed, part_only,
       ""},
      {"key-less: archive truncated", false, Server::kArchiveTruncated, 0, -3, engine_failed,
       part_only, ""},
      {"key-less: malformed line", false, Server::kLineMalformed, 0, -3, engine_failed, part_only,
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UpdateFixture f;
    ServeRelease(f, c.server, 5);
    if (c.pinned) {
      f.public_key = ReleaseKey().PublicKey();
    }
    if (c.accepted_before != 0) {
      test::WriteFileBytes(f.App("QuillMar.ini"),
                           "[Integrity]\r\nSerial=" + std::to_string(c.accepted_before) + "\r\n");
    }
    EXPECT_EQ(f.Run(), c.result);
    EXPECT_EQ(f.host.status, c.status.empty() ? texts::kDownloadingEngine : c.status);
    EXPECT_EQ(f.requested, c.requested);
    const bool installed = c.result == 0;
    EXPECT_EQ(fs::exists(f.App("part.txt")), installed);
    EXPECT_EQ(f.Installed("V", "Part"), installed ? "13" : "");
    EXPECT_EQ(f.Installed("Integrity", "Serial"), c.recorded_serial);
    // Nothing of a refused archive stays behind, in Temp or elsewhere.
    EXPECT_FALSE(fs::exists(f.App("Temp/Part.zip")));
  }
}

TEST(UpdateIntegrityTest, AnArchiveIsCheckedUnderItsOwnKeyAtEveryBase) {
  // The launcher's own archive and an A-data archive sit at the download
  // base, a component below the engine folder: each is checked against its
  // own line, so a line for one archive never vouches for another.
  UpdateFixture f;
  const std::string launcher = Archive("launcher", "new launcher");
  const std::string adata = Archive("ad1", "a data");
  f.Serve("QuillMar/82001500.zip", launcher);
  f.Serve("QuillMar/AData1.zip", adata);
  std::string manifest =
      "[V]\r\n82001500=3.0.0.1::engine\r\nPart=12\r\nData=7\r\n[SP]\r\n82001500_Sp=3\r\n"
      "[AData]\r\nAData1=6\r\nAData2=2\r\n[H]\r\nSerial=9\r\n"
      "82001500.zip=" +
      HashValue(launcher) + "\r\n" +
      // AData1's line describes the launcher's archive: AData1 must fail.
      "AData1.zip=" + HashValue(launcher) + "\r\n";
  f.Serve("QuillMar/QuillMar.ini", manifest);
  f.Serve("QuillMar/QuillMar.ini.sig", SignatureText({9, ReleaseKey().Sign(manifest)}));
  f.public_key = ReleaseKey().PublicKey();
  EXPECT_EQ(f.Run(), -3);
  EXPECT_EQ(f.host.status, std::string("AData1") + texts::kDownloadFailedSuffix);
  EXPECT_TRUE(fs::exists(f.App("launcher.txt")));
  EXPECT_FALSE(fs::exists(f.App("ad1.txt")));
  EXPECT_EQ(f.Installed("AData", "AData1"), "");
  EXPECT_EQ(f.Installed("Integrity", "Serial"), "9");
}

}  // namespace
}  // namespace qm::update
