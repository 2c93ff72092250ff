// SPDX-License-Identifier: MIT
#include "report/provenance.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "report/text.h"

namespace {

using Json = nlohmann::ordered_json;

// The text of member key of object, when it is a string.
bool take_text(const Json& object, const char* key, std::string* out) {
  auto found = object.find(key);
  if (found == object.end() || !found->is_string()) return false;
  *out = found->get<std::string>();
  return true;
}

}  // namespace

std::string provenance_path(const std::string& image_path) { return image_path + ".json"; }

nlohmann::ordered_json provenance_reading_json(const ImageProvenance& p) {
  Json doc;
  doc["drive"] = Json{{"vendor", p.vendor}, {"product", p.product}, {"revision", p.revision}};
  doc["transfer_time"] = p.transfer_time;
  doc["kestrel"] = p.kestrel;
  doc["options"] = p.options;
  doc["report"] = p.report.empty() ? Json() : Json(p.report);
  return doc;
}

std::string provenance_json(const ImageProvenance& p) {
  // Led by the image, not by "kestrel": that is how a transfer report begins.
  Json doc;
  doc["image"] = p.image;
  const Json reading = provenance_reading_json(p);
  for (const auto& [key, value] : reading.items()) doc[key] = value;
  return json_layout(doc);
}

int write_provenance(const std::string& image_path, const ImageProvenance& provenance) {
  return report_write_whole(provenance_path(image_path), provenance_json(provenance));
}

std::string read_provenance(const std::string& image_path, ImageProvenance* p) {
  const std::string path = provenance_path(image_path);
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return "no record of the image's making (" + path + ": " + std::strerror(errno) + ")";
  std::string text;
  char buffer[4096];
  for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0 && text.size() < (1u << 20);)
    text.append(buffer, got);
  std::fclose(file);
  Json doc = Json::parse(text, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) return path + " is no JSON object: the image's making is not known";
  *p = ImageProvenance{};
  auto drive = doc.find("drive");
  bool whole = take_text(doc, "image", &p->image) && take_text(doc, "transfer_time", &p->transfer_time) &&
               drive != doc.end() && drive->is_object() && take_text(*drive, "vendor", &p->vendor) &&
               take_text(*drive, "product", &p->product) && take_text(*drive, "revision", &p->revision);
  if (!whole) return path + " lacks the image, the drive or the transfer time: the image's making is not known";
  take_text(doc, "kestrel", &p->kestrel);
  take_text(doc, "report", &p->report);
  auto options = doc.find("options");
  if (options != doc.end() && options->is_array())
    for (const Json& o : *options)
      if (o.is_string()) p->options.push_back(o.get<std::string>());
  return "";
}

std::string provenance_drive(const ImageProvenance& p) {
  std::string drive = p.vendor;
  for (const std::string* part : {&p.product, &p.revision})
    if (!part->empty()) drive += (drive.empty() ? "" : " ") + *part;
  return drive;
}
