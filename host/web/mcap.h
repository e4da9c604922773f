// MCAP files as orvane writes them: JSON messages with JSON Schemas, no chunks and no summary,
// each record handed to the kernel in one write(2) as it is made, so that a file cut short by a
// crash or Ctrl-C still holds every whole record before the cut; a clean end adds the data
// end record, the footer and the closing magic. And a reader of such files, record by record.
// A writer or a read belongs to one thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class mcap_writer {
 public:
  // Creates (or truncates) the file and writes the magic and the header record; throws
  // std::runtime_error with the system's reason.
  mcap_writer(const std::string& path, const std::string& library);
  ~mcap_writer();  // closes as close() does, errors unreported
  mcap_writer(const mcap_writer&) = delete;
  mcap_writer& operator=(const mcap_writer&) = delete;

  // A channel of JSON messages and its JSON Schema (the schema's id is the channel's).
  void channel(uint16_t id, const std::string& topic, const std::string& schema_name,
               const std::string& schema);
  void message(uint16_t channel, uint64_t log_ns, std::string_view json);
  void metadata(const std::string& name, const std::vector<std::pair<std::string, std::string>>& kv);
  // The data end record, the footer and the magic; throws std::runtime_error if a write failed.
  void close();
  uint64_t bytes() const { return bytes_; }

 private:
  void record(uint8_t op, const std::string& body);

  int fd_ = -1;
  std::string path_;
  int error_ = 0;  // errno of the first failed write
  uint64_t bytes_ = 0;
  std::map<uint16_t, uint32_t> seq_;
};

struct mcap_channel {
  std::string topic, encoding, schema_name, schema;
};

struct mcap_message {
  uint16_t channel = 0;
  uint64_t log_ns = 0;
  std::string data;
};

struct mcap_contents {
  std::map<uint16_t, mcap_channel> channels;
  std::vector<mcap_message> messages;
  std::vector<std::pair<std::string, std::map<std::string, std::string>>> metadata;
  bool complete = false;  // the footer and the closing magic were there
  std::string problem;    // why reading stopped before the end, or empty
};

// Reads every whole record of a file's bytes; a file cut short gives what came before the cut.
// Throws std::runtime_error when the bytes are no MCAP file at all.
mcap_contents mcap_read(std::string_view bytes);
