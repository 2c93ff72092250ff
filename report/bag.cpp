// SPDX-License-Identifier: MIT
#include "report/bag.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>

#include "report/checksums.h"
#include "report/provenance.h"
#include "report/text.h"

namespace {

// One line of bag-info.txt; a line end in the value would start a new label.
std::string info_line(const char* label, std::string value) {
  for (char& c : value)
    if (c == '\n' || c == '\r') c = ' ';
  return std::string(label) + ": " + value + "\n";
}

std::string manifest_line(const ReportFile& file, const std::string& path) {
  return file.sha256 + "  " + bag_manifest_path(path) + "\n";
}

// What the bag has done so far, undone in reverse on a failure.
struct BagWork {
  std::string folder;
  std::vector<std::pair<std::string, std::string>> moved;  // from, to
  std::vector<std::string> written;
  bool data_made = false;

  void undo() {
    for (auto it = written.rbegin(); it != written.rend(); ++it) std::remove(it->c_str());
    for (auto it = moved.rbegin(); it != moved.rend(); ++it) std::rename(it->second.c_str(), it->first.c_str());
    if (data_made) rmdir((folder + "/data").c_str());
    rmdir(folder.c_str());
  }
};

int failed(BagWork* work, const std::string& file, ReportFailure* failure) {
  failure->file = file;
  failure->error = errno;
  work->undo();
  return -1;
}

}  // namespace

std::string bag_manifest_path(const std::string& path) {
  std::string out;
  for (char c : path) out += c == '%' ? "%25" : c == '\n' ? "%0A" : c == '\r' ? "%0D" : std::string(1, c);
  return out;
}

int transfer_report_bag(const TransferReport* r, const ReportSummary& summary, const std::string& organization,
                        BagSummary* bag, ReportFailure* failure) {
  *bag = BagSummary{r->base_name, 0, 0};
  // The payload, each file once, every one with its checksum.
  std::vector<ReportFile> payload;
  std::set<std::string> names;
  for (const ReportFile& f : r->files) {
    if (!names.insert(file_part(f.name)).second) continue;
    payload.push_back(f);
    if (!payload.back().sha256.empty()) continue;
    if (checksum_file(&payload.back()) != 0) {
      failure->file = f.name;
      failure->error = errno;
      return -1;
    }
  }
  BagWork work{r->base_name, {}, {}, false};
  errno = 0;
  if (mkdir(work.folder.c_str(), 0777) != 0) {
    failure->file = work.folder;
    failure->error = errno;
    return -1;  // the folder is someone else's: nothing to undo
  }
  if (mkdir((work.folder + "/data").c_str(), 0777) != 0) return failed(&work, work.folder + "/data", failure);
  work.data_made = true;

  std::string manifest, tag_manifest;
  for (const ReportFile& f : payload) {
    std::string path = "data/" + file_part(f.name);
    std::string to = work.folder + "/" + path;
    if (std::rename(f.name.c_str(), to.c_str()) != 0) return failed(&work, f.name, failure);
    work.moved.push_back({f.name, to});
    manifest += manifest_line(f, path);
    bag->payload_bytes += f.bytes;
    bag->payload_files += 1;
  }
  for (const ReportFile& f : summary.report_files) {
    std::string to = work.folder + "/" + file_part(f.name);
    if (std::rename(f.name.c_str(), to.c_str()) != 0) return failed(&work, f.name, failure);
    work.moved.push_back({f.name, to});
    tag_manifest += manifest_line(f, file_part(f.name));
  }

  // A reading of an image: the image's record (the drive that read the tape)
  // goes with it as a tag file, copied: it stays beside the image too.
  if (!r->source.image.empty() && r->source.image_made_known) {
    std::string record = provenance_path(r->source.image);
    std::ifstream in(record, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    std::string to = work.folder + "/" + file_part(record);
    if (!in || report_write_whole(to, text.str()) != 0) return failed(&work, record, failure);
    work.written.push_back(to);
    tag_manifest += report_text_sha256(text.str()) + "  " + bag_manifest_path(file_part(record)) + "\n";
  }

  const std::string bagit = "BagIt-Version: 1.0\nTag-File-Character-Encoding: UTF-8\n";
  const std::string info =
      info_line("Source-Organization", organization) + info_line("External-Identifier", file_part(r->base_name)) +
      info_line("Bagging-Date", r->finished.substr(0, 10)) +
      info_line("Payload-Oxum", std::to_string(bag->payload_bytes) + "." + std::to_string(bag->payload_files)) +
      info_line("Bag-Software-Agent", std::string("kestrel ") + KESTREL_VERSION) +
      info_line("Transfer-Verdict", summary.verdict ? summary.verdict : "");
  const std::pair<const char*, const std::string*> tags[] = {
      {"bagit.txt", &bagit}, {"bag-info.txt", &info}, {"manifest-sha256.txt", &manifest}};
  for (const auto& [name, text] : tags)
    tag_manifest += report_text_sha256(*text) + "  " + name + "\n";
  const std::pair<const char*, const std::string*> written[] = {
      {"bagit.txt", &bagit}, {"bag-info.txt", &info}, {"tagmanifest-sha256.txt", &tag_manifest}};
  for (const auto& [name, text] : written) {
    std::string path = work.folder + "/" + name;
    if (report_write_whole(path, *text) != 0) return failed(&work, path, failure);
    work.written.push_back(path);
  }
  // The payload manifest last, whole or not at all: without it no reader
  // takes the folder for a complete bag.
  std::string manifest_path = work.folder + "/manifest-sha256.txt";
  std::string part = work.folder + "/manifest-sha256.txt.part";
  if (report_write_whole(part, manifest) != 0) return failed(&work, manifest_path, failure);
  work.written.push_back(part);
  if (std::rename(part.c_str(), manifest_path.c_str()) != 0) return failed(&work, manifest_path, failure);
  return 0;
}
