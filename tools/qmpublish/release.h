// A release as the game team hands it over: one folder with a fixed layout.
//
//   launcher/QuillMar.exe   the launcher (and any file that ships with it)
//   splash/                 the splash picture, Sp.Gif
//   engine/                 the engine files
//   data/                   the data files
//   adata/1/, adata/2/ ...  A-data sets, numbered from 1 without gaps
//   bdata/1/, bdata/2/ ...  B-data sets, likewise
//   components/Foo.dll      one file per component, with a version resource
//
// Everything but launcher/QuillMar.exe is optional. Each folder's content
// unpacks into the game folder with its sub-folders kept.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/qmpublish/zip_writer.h"

namespace qm::publish {

// One archive of the release and the manifest line that names it.
struct Item {
  std::string label;    // what the user reads: "engine", "A-data 2", "component Foo.dll"
  std::string section;  // manifest section and key of its version line
  std::string key;
  std::string archive;        // file name on the server
  bool below_engine = false;  // at the engine base, else at the download base
  std::vector<ZipSource> members;
  uint64_t bytes = 0;
  std::string digest;  // of names and content
  // From the version resource (launcher and components); empty for the
  // items whose version the publisher numbers.
  std::string resource_version;
  std::string file_name;  // components: the file that the updater looks up
};

struct Release {
  std::string file_version;     // the launcher's
  std::string product_version;  // the launcher's
  std::string version_key;
  std::vector<Item> items;  // launcher, splash, engine, data, A-data, B-data, components
};

// Reads and checks the release folder; raises PublishError with what to fix.
Release ReadRelease(const std::filesystem::path& root);

// Why a manifest value would not reach the updater as written (empty when
// it would): R_Trim drops from the last ";", and the settings reader drops
// blanks around a value and a pair of enclosing quotes.
std::string ValueProblem(const std::string& value);

}  // namespace qm::publish
