#include "host/web/mcap.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

constexpr char magic[] = {'\x89', 'M', 'C', 'A', 'P', '0', '\r', '\n'};
constexpr size_t magic_size = sizeof magic;

enum op : uint8_t {
  op_header = 0x01,
  op_footer = 0x02,
  op_schema = 0x03,
  op_channel = 0x04,
  op_message = 0x05,
  op_metadata = 0x0C,
  op_data_end = 0x0F,
};

void put_le(std::string& b, uint64_t v, int bytes)
{
  for (int i = 0; i < bytes; i++)
    b += static_cast<char>((v >> (8 * i)) & 0xff);
}
void put16(std::string& b, uint16_t v) { put_le(b, v, 2); }
void put32(std::string& b, uint32_t v) { put_le(b, v, 4); }
void put64(std::string& b, uint64_t v) { put_le(b, v, 8); }
void put_str(std::string& b, std::string_view s)
{
  put32(b, static_cast<uint32_t>(s.size()));
  b.append(s);
}

std::string sys_error(const std::string& what, const std::string& path, int err)
{
  return what + " " + path + ": " + std::strerror(err);
}

// Reads little-endian fields of one record's body; a field past the end makes it bad.
class fields {
 public:
  explicit fields(std::string_view b) : b_(b) {}
  uint64_t num(size_t n)
  {
    if (b_.size() < n) {
      bad_ = true;
      return 0;
    }
    uint64_t v = 0;
    for (size_t i = 0; i < n; i++)
      v |= static_cast<uint64_t>(static_cast<unsigned char>(b_[i])) << (8 * i);
    b_.remove_prefix(n);
    return v;
  }
  std::string str()
  {
    uint64_t n = num(4);
    if (bad_ || b_.size() < n) {
      bad_ = true;
      return "";
    }
    std::string s(b_.substr(0, n));
    b_.remove_prefix(n);
    return s;
  }
  std::string rest()
  {
    std::string s(b_);
    b_ = {};
    return s;
  }
  bool bad() const { return bad_; }

 private:
  std::string_view b_;
  bool bad_ = false;
};

}  // namespace

mcap_writer::mcap_writer(const std::string& path, const std::string& library) : path_(path)
{
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd_ < 0)
    throw std::runtime_error(sys_error("cannot write", path, errno));
  std::string m(magic, magic_size);
  std::string h;
  put_str(h, "");  // profile: none, the messages are JSON of our own
  put_str(h, library);
  if (::write(fd_, m.data(), m.size()) != static_cast<ssize_t>(m.size()))
    error_ = errno ? errno : EIO;
  bytes_ += m.size();
  record(op_header, h);
  if (error_) {
    int e = error_;
    ::close(fd_);
    fd_ = -1;
    throw std::runtime_error(sys_error("cannot write", path, e));
  }
}

mcap_writer::~mcap_writer()
{
  try {
    close();
  } catch (const std::exception&) {
    // A destructor reports nothing; close() called by the owner does.
  }
}

// The whole record in one write: a crash leaves whole records or, at worst, one cut short at
// the end, which readers take as the end of the file.
void mcap_writer::record(uint8_t op, const std::string& body)
{
  std::string r;
  r.reserve(9 + body.size());
  r += static_cast<char>(op);
  put64(r, body.size());
  r += body;
  bytes_ += r.size();
  size_t done = 0;
  while (fd_ >= 0 && !error_ && done < r.size()) {
    ssize_t n = ::write(fd_, r.data() + done, r.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      error_ = n < 0 ? errno : EIO;
      break;
    }
    done += static_cast<size_t>(n);
  }
}

void mcap_writer::channel(uint16_t id, const std::string& topic, const std::string& schema_name,
                          const std::string& schema)
{
  std::string s;
  put16(s, id);
  put_str(s, schema_name);
  put_str(s, "jsonschema");
  put_str(s, schema);  // bytes: the same layout as a string
  record(op_schema, s);
  std::string c;
  put16(c, id);
  put16(c, id);
  put_str(c, topic);
  put_str(c, "json");
  put32(c, 0);  // metadata: an empty map
  record(op_channel, c);
}

void mcap_writer::message(uint16_t channel, uint64_t log_ns, std::string_view json)
{
  std::string m;
  m.reserve(22 + json.size());
  put16(m, channel);
  put32(m, seq_[channel]++);
  put64(m, log_ns);
  put64(m, log_ns);  // published when read
  m.append(json);
  record(op_message, m);
}

void mcap_writer::metadata(const std::string& name, const std::vector<std::pair<std::string, std::string>>& kv)
{
  std::string map;
  for (const auto& [k, v] : kv) {
    put_str(map, k);
    put_str(map, v);
  }
  std::string m;
  put_str(m, name);
  put32(m, static_cast<uint32_t>(map.size()));
  m += map;
  record(op_metadata, m);
}

void mcap_writer::close()
{
  if (fd_ < 0)
    return;
  std::string end;
  put32(end, 0);  // data section CRC: not computed
  record(op_data_end, end);
  std::string footer;
  put64(footer, 0);  // no summary section
  put64(footer, 0);  // no summary offsets
  put32(footer, 0);  // no summary CRC
  record(op_footer, footer);
  if (!error_ && ::write(fd_, magic, magic_size) != static_cast<ssize_t>(magic_size))
    error_ = errno ? errno : EIO;
  bytes_ += magic_size;
  if (::close(fd_) != 0 && !error_)
    error_ = errno;
  fd_ = -1;
  if (error_)
    throw std::runtime_error(sys_error("cannot write", path_, error_));
}

mcap_contents mcap_read(std::string_view bytes)
{
  if (bytes.size() < magic_size || bytes.substr(0, magic_size) != std::string_view(magic, magic_size))
    throw std::runtime_error("not an MCAP file (no magic at its start)");
  mcap_contents out;
  std::map<uint16_t, std::pair<std::string, std::string>> schemas;  // id: name, data
  std::string_view rest = bytes.substr(magic_size);
  while (!rest.empty()) {
    if (rest.size() < 9) {
      out.problem = "cut short inside a record's opcode and length";
      break;
    }
    fields head(rest.substr(0, 9));
    auto opcode = static_cast<uint8_t>(head.num(1));
    uint64_t len = head.num(8);
    if (len > rest.size() - 9) {
      out.problem = "cut short inside a record";
      break;
    }
    fields f(rest.substr(9, len));
    rest.remove_prefix(9 + len);
    if (opcode == op_schema) {
      auto id = static_cast<uint16_t>(f.num(2));
      std::string name = f.str();
      f.str();  // encoding
      std::string data = f.str();
      if (!f.bad())
        schemas[id] = {name, data};
    } else if (opcode == op_channel) {
      auto id = static_cast<uint16_t>(f.num(2));
      auto schema = static_cast<uint16_t>(f.num(2));
      mcap_channel c;
      c.topic = f.str();
      c.encoding = f.str();
      if (auto s = schemas.find(schema); s != schemas.end())
        std::tie(c.schema_name, c.schema) = s->second;
      if (!f.bad())
        out.channels[id] = c;
    } else if (opcode == op_message) {
      mcap_message m;
      m.channel = static_cast<uint16_t>(f.num(2));
      f.num(4);
      m.log_ns = f.num(8);
      f.num(8);
      m.data = f.rest();
      if (!f.bad())
        out.messages.push_back(std::move(m));
    } else if (opcode == op_metadata) {
      std::string name = f.str();
      uint64_t n = f.num(4);
      std::map<std::string, std::string> kv;
      std::string map = f.rest();
      fields pairs(std::string_view(map).substr(0, std::min<uint64_t>(n, map.size())));
      for (std::string k = pairs.str(); !pairs.bad(); k = pairs.str())
        kv[k] = pairs.str();
      out.metadata.emplace_back(name, kv);
    } else if (opcode == op_footer) {
      out.complete = rest == std::string_view(magic, magic_size);
      if (!out.complete)
        out.problem = "bytes after the footer are not the closing magic";
      return out;
    }
    if (f.bad()) {
      out.problem = "a record of opcode " + std::to_string(opcode) + " is malformed";
      break;
    }
  }
  if (out.problem.empty())
    out.problem = "no footer: the recording was cut short";
  return out;
}
