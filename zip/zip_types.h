// Enumerations of the extractor's published interface.
#pragma once

#include <cstdint>

namespace qm::zip {

enum class TArcType {
  atNA,
  atUnsupported,
  atFileOpenErr,
  atUnknown,
  atAce,
  atAceExe,
  atArc,
  atArcExe,
  atArj,
  atArjExe,
  atBh,
  atBhExe,
  atCab,
  atGZip,
  atHA,
  atJar,
  atJarExe,
  atLha,
  atLhaExe,
  atLzh,
  atLzhExe,
  atMsGZ,
  atPak,
  atPakExe,
  atRar,
  atRarExe,
  atTar,
  atTarGZip,
  atUUE,
  atZip,
  atZipExe,
  atZipDS,
  atZipMV,
  atZoo,
};

const char* ArcTypeName(TArcType type);

enum class THeaderType { htLocal, htCentral, htEnding, htNone };

// Set of THeaderType.
class THeaderTypeState {
 public:
  THeaderTypeState() = default;
  bool Has(THeaderType t) const { return bits_ & Bit(t); }
  void Add(THeaderType t) { bits_ |= Bit(t); }
  bool Empty() const { return bits_ == 0; }
  bool operator==(const THeaderTypeState&) const = default;
  static THeaderTypeState Of(THeaderType t) {
    THeaderTypeState s;
    s.Add(t);
    return s;
  }

 private:
  static uint8_t Bit(THeaderType t) { return static_cast<uint8_t>(1u << static_cast<int>(t)); }
  uint8_t bits_ = 0;
};

enum class TOverwriteMode { omOverwrite, omSkip };
enum class TDateAttribute { daFileDate, daSysDate, daMaxFileDate };
enum class TCpuType { cptAuto, cpt80286, cpt80386, cpt80486 };

}  // namespace qm::zip
