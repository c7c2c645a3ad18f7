#pragma once

// Snapshots: the whole model (structure and state) in one binary file, so that
// a run continued from a snapshot repeats the uninterrupted run bit for bit.
// Layout: magic "ZEFASNP3", content length (8 bytes), content, FNV-1a checksum
// of the content (8 bytes); all numbers little-endian, doubles by their bits.

#include <stdexcept>
#include <string>

#include "model.h"

namespace zefasim {

class SnapshotError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// How every snapshot file zefa-server writes begins (any version).
inline constexpr char kSnapshotSignature[] = "ZEFASNP";

std::string EncodeSnapshot(const Model& model);
// Throws SnapshotError for anything that is not a complete, consistent snapshot.
Model DecodeSnapshot(const std::string& bytes);

// File helpers; writing goes through a new temporary file (a unique name,
// created exclusively) renamed into place, so a failed save never leaves a
// half-written snapshot under the name and never touches another file.
// Reading takes at most the file's size and a bounded multiple of it in memory.
void SaveSnapshotFile(const Model& model, const std::string& path);
Model LoadSnapshotFile(const std::string& path);

}  // namespace zefasim
