// SPDX-License-Identifier: MIT
// What an image does not hold of its making: the drive that read the tape,
// when, with which options, and the report of that reading. /BITTERN writes
// it beside the image as NAME.img.json; /FROMIMAGE reads it back, so that
// the files split from the image name the drive, not just "image file".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct ImageProvenance {
  std::string image;  // the image's file name, as it lies beside the record
  std::string vendor, product, revision;  // the drive that read the tape
  std::string transfer_time;  // ISO 8601, when the reading began
  std::string kestrel;        // the version that wrote the image
  std::vector<std::string> options;  // as typed
  std::string report;  // the reading's report (NAME.json), "" when none
};

// The record's name for an image at path: path + ".json".
std::string provenance_path(const std::string& image_path);
// The reading as a JSON object (the drive, the transfer time, the version,
// the options, the report), as the record and a report of a split hold it.
nlohmann::ordered_json provenance_reading_json(const ImageProvenance& provenance);
// The record as JSON text: the image's name, then the reading.
std::string provenance_json(const ImageProvenance& provenance);
// Writes the record beside the image; 0, or -1 with errno.
int write_provenance(const std::string& image_path, const ImageProvenance& provenance);
// Reads the record of the image at path: "" with provenance filled, or one
// line saying why none could be read (missing, not JSON, a field missing).
std::string read_provenance(const std::string& image_path, ImageProvenance* provenance);
// "SONY SDT-9000 1.13": the drive as the files name it.
std::string provenance_drive(const ImageProvenance& provenance);
