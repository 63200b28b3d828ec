// Scale benchmark of the whole command: generates graphs of growing size (and takes real
// graph files), runs `zavo-prune analyze GRAPH -o REPORT` and `zavo-prune analyze GRAPH` as
// subprocesses and prints, per graph and binary, the wall time, the peak resident memory
// (the child's ru_maxrss from wait4) and both per label position, with the growth of the time
// from one size to the next.
//
//   scale [--zavo-prune BIN]... [--shapes LIST] [--min-positions N] [--max-positions N]
//         [--named LIST] [--real FILE]... [--modes o,no-o] [--runs N]
//         [--time-limit S] [--wall-limit S] [--memory-limit GB] [--work-dir DIR] [--csv FILE]
//         [--keep]
//
// --zavo-prune BIN   the binary to measure; give it twice or more to compare binaries: the
//                    runs alternate A B A B and each row shows its time against the first
// --shapes LIST      series shapes, comma-separated, or none (default: all; see
//                    graph_generator.hpp), each at 10^k label positions for every k from
//                    --min-positions (default 1e4) to --max-positions (default 1e7)
// --named LIST       named configurations (llama-7b, llama-70b, ladder-4000, residual-8x100k,
//                    repeats-200k, wide-parameter); NAME:o or NAME:no-o runs that one in one
//                    mode only. wide-parameter runs under a 4 GB address-space limit and is
//                    expected to be refused (exit 2): its row times the refusal
// --real FILE        a graph file (repeatable); its positions are counted from its report
// --modes LIST       o (with -o REPORT), no-o (summary only); default both
// --runs N           runs of each binary per graph and mode, the median quoted (default 3);
//                    a graph whose first run takes over 20 s of CPU gets one run
// --time-limit S, --wall-limit S, --memory-limit GB   a run over S seconds of CPU time, S
//                    seconds of wall time or GB of resident memory is killed, and the larger
//                    sizes of its shape are skipped for that binary and mode (default 180 s of
//                    CPU, 900 s of wall time, 10 GB)
//
// A label position is one entry of one label list of one node in the report's `nodes` (either
// version): for generated graphs the generator's exact count (checked against every report
// written), for real graphs the count read from the report.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "graph_generator.hpp"

namespace {

namespace fs = std::filesystem;
using namespace zavo::benchmarks;

struct Options {
  std::vector<std::string> binaries;
  std::vector<std::string> shapes;
  std::vector<std::string> named;
  std::vector<std::string> real;
  std::vector<std::string> modes = {"o", "no-o"};
  double min_positions = 1e4;
  double max_positions = 1e7;
  int runs = 3;
  double time_limit = 180;  // CPU seconds
  double wall_limit = 900;
  double memory_limit_gb = 10;
  std::string work_dir;
  std::string csv;
  bool keep = false;
};

struct Run {
  double seconds = 0;
  double cpu_seconds = 0;  // user + system time of the child
  long peak_kb = 0;
  int exit_code = -1;
  std::string failure;  // a cap or a signal that ended the run; empty otherwise
};

// --- running a child ----------------------------------------------------------------------

long resident_kb(pid_t pid) {
  std::ifstream statm("/proc/" + std::to_string(pid) + "/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// User + system seconds of a running process (fields 14 and 15 of /proc/PID/stat).
double cpu_seconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  unsigned long long user = 0, system = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14)
      user = std::stoull(field);
    if (i == 15)
      system = std::stoull(field);
  }
  return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string load_average() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// Runs `argv` with stdout and stderr to files, watching its resident memory and time; a
// non-zero `address_space` limits the child's address space (bytes).
Run run_child(const std::vector<std::string>& argv, const std::string& out, const std::string& err,
              const Options& options, std::uint64_t address_space = 0) {
  std::vector<char*> args;
  for (const std::string& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  sigset_t child_signal, previous;
  sigemptyset(&child_signal);
  sigaddset(&child_signal, SIGCHLD);
  sigprocmask(SIG_BLOCK, &child_signal, &previous);

  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0)
      _exit(126);
    if (address_space) {
      const rlimit limit{address_space, address_space};
      if (setrlimit(RLIMIT_AS, &limit) != 0)
        _exit(126);
    }
    execv(args[0], args.data());
    _exit(127);
  }
  Run run;
  if (pid < 0) {
    run.failure = "fork failed";
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return run;
  }
  const long memory_cap_kb = static_cast<long>(options.memory_limit_gb * 1024 * 1024);
  int status = 0;
  rusage usage{};
  for (;;) {
    timespec poll = {0, 20'000'000};
    sigtimedwait(&child_signal, nullptr, &poll);
    pid_t done = wait4(pid, &status, WNOHANG, &usage);
    if (done == pid)
      break;
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (run.failure.empty() &&
        (cpu_seconds(pid) > options.time_limit || elapsed > options.wall_limit))
      run.failure = "over the time limit";
    else if (run.failure.empty() && resident_kb(pid) > memory_cap_kb)
      run.failure = "over the memory limit";
    if (!run.failure.empty())
      kill(pid, SIGKILL);
  }
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  run.peak_kb = usage.ru_maxrss;
  run.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                    static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  if (WIFEXITED(status))
    run.exit_code = WEXITSTATUS(status);
  else if (run.failure.empty())
    run.failure = std::string("killed by signal ") + strsignal(WTERMSIG(status));
  return run;
}

// --- counting label positions in a report ---------------------------------------------------

// The entries of the label lists of a version 1 report's top-level `nodes`: every number inside
// a `labels` value there. Reads the file in blocks, tracking strings and nesting only, so a
// report of any size is counted in constant memory.
std::optional<std::uint64_t> count_positions_1(const std::string& report) {
  std::FILE* in = std::fopen(report.c_str(), "rb");
  if (!in)
    return std::nullopt;
  std::vector<char> buffer(1 << 20);
  std::uint64_t count = 0;
  int depth = 0, labels_depth = -1;
  bool in_string = false, escaped = false, in_number = false, in_nodes = false;
  std::string token, last_string;
  std::size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), in)) > 0) {
    for (std::size_t i = 0; i < n; ++i) {
      char ch = buffer[i];
      if (in_string) {
        if (escaped)
          escaped = false;
        else if (ch == '\\')
          escaped = true;
        else if (ch == '"')
          in_string = false, last_string = token;
        else if (token.size() < 16)
          token += ch;
        continue;
      }
      bool digit = ch >= '0' && ch <= '9';
      if (digit && !in_number && labels_depth >= 0)
        ++count;
      in_number = digit;
      switch (ch) {
        case '"':
          in_string = true, token.clear();
          break;
        case ':':
          if (depth == 1)
            in_nodes = last_string == "nodes";
          else if (in_nodes && last_string == "labels")
            labels_depth = depth + 1;
          break;
        case '[':
        case '{':
          ++depth;
          break;
        case ']':
        case '}':
          if (depth == labels_depth)
            labels_depth = -1;
          --depth;
          break;
        default:
          break;
      }
    }
  }
  std::fclose(in);
  return count;
}

// The same for version 2, whose nodes refer to a table of label lists written as runs and
// references to earlier entries: the lengths of the entries, added up over the nodes.
std::optional<std::uint64_t> count_positions_2(const std::string& report) {
  std::ifstream in(report, std::ios::binary);
  const nlohmann::json data = nlohmann::json::parse(in, nullptr, /*allow_exceptions=*/false);
  if (!data.is_object() || !data.contains("lists") || !data.contains("nodes"))
    return std::nullopt;
  std::vector<std::uint64_t> lengths;
  for (const auto& entry : data["lists"]) {
    std::uint64_t length = 0;
    for (const auto& item : entry) {
      if (item.is_array())
        length += item[1].get<std::uint64_t>();
      else if (item.is_object())
        length += lengths.at(item["list"].get<std::size_t>());
      else
        ++length;
    }
    lengths.push_back(length);
  }
  std::uint64_t count = 0;
  for (const auto& node : data["nodes"]) {
    for (const auto& list : node["labels"]) {
      if (!list.is_null())
        count += lengths.at(list.get<std::size_t>());
    }
  }
  return count;
}

// The label positions of a report of either version.
std::optional<std::uint64_t> count_positions(const std::string& report) {
  std::ifstream in(report, std::ios::binary);
  std::string head(256, '\0');
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  if (!in && in.gcount() == 0)
    return std::nullopt;
  return head.find("\"version\": 2,") != std::string::npos ? count_positions_2(report)
                                                           : count_positions_1(report);
}

// --- items ---------------------------------------------------------------------------------

struct Item {
  std::string shape;  // series shape, named configuration or file name
  std::string size;   // the series' target ("1e5"), or empty
  std::optional<GraphConfig> config;
  std::string file;  // the graph file (a real one, or where the generated one is written)
  std::vector<std::string> modes;
  std::uint64_t positions = 0;  // 0 until known
  RunLimits limits;
};

struct Row {
  std::string shape, size, mode, binary;
  std::uint64_t positions = 0;
  std::vector<Run> runs;
  double median_seconds = 0;
  double median_cpu_seconds = 0;
  long median_peak_kb = 0;
  std::string note;
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::vector<std::string> split(const std::string& text) {
  std::vector<std::string> parts;
  std::stringstream stream(text);
  std::string part;
  while (std::getline(stream, part, ','))
    if (!part.empty() && part != "none")
      parts.push_back(part);
  return parts;
}

std::string first_line(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

[[noreturn]] void usage(const std::string& message) {
  std::fprintf(stderr, "scale: %s (see the comment at the top of benchmarks/scale.cpp)\n",
               message.c_str());
  std::exit(2);
}

Options parse_options(int argc, char** argv) {
  Options o;
  bool shapes_given = false;
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "--keep") {
      o.keep = true;
      continue;
    }
    if (i + 1 >= argc)
      usage(option + " needs a value");
    std::string value = argv[++i];
    if (option == "--zavo-prune")
      o.binaries.push_back(value);
    else if (option == "--shapes")
      o.shapes = split(value), shapes_given = true;
    else if (option == "--named")
      o.named = split(value);
    else if (option == "--real")
      o.real.push_back(value);
    else if (option == "--modes")
      o.modes = split(value);
    else if (option == "--min-positions")
      o.min_positions = std::stod(value);
    else if (option == "--max-positions")
      o.max_positions = std::stod(value);
    else if (option == "--runs")
      o.runs = std::max(1, std::stoi(value));
    else if (option == "--time-limit")
      o.time_limit = std::stod(value);
    else if (option == "--wall-limit")
      o.wall_limit = std::stod(value);
    else if (option == "--memory-limit")
      o.memory_limit_gb = std::stod(value);
    else if (option == "--work-dir")
      o.work_dir = value;
    else if (option == "--csv")
      o.csv = value;
    else
      usage("unknown option " + option);
  }
  if (o.binaries.empty())
    usage("no binary (--zavo-prune BIN)");
  for (std::string& b : o.binaries) {
    if (access(b.c_str(), X_OK) != 0)
      usage(b + " is not an executable file");
    b = fs::absolute(b).string();
  }
  if (!shapes_given)
    o.shapes.assign(series_shapes().begin(), series_shapes().end());
  for (const std::string& m : o.modes)
    if (m != "o" && m != "no-o")
      usage("unknown mode " + m);
  return o;
}

std::vector<Item> plan(const Options& o) {
  std::vector<Item> items;
  for (const std::string& shape : o.shapes) {
    for (double target = o.min_positions; target <= o.max_positions * 1.0001; target *= 10) {
      std::optional<GraphConfig> config =
          series_config(shape, static_cast<std::uint64_t>(std::llround(target)));
      if (!config)
        usage("unknown shape " + shape);
      char size[16];
      std::snprintf(size, sizeof size, "1e%d", static_cast<int>(std::lround(std::log10(target))));
      items.push_back({shape, size, config, {}, o.modes, label_positions(*config)});
    }
  }
  for (const std::string& entry : o.named) {
    std::string name = entry.substr(0, entry.find(':'));
    std::optional<GraphConfig> config = named_config(name);
    if (!config)
      usage("unknown configuration " + name);
    std::vector<std::string> modes = o.modes;
    if (entry.find(':') != std::string::npos)
      modes = {entry.substr(entry.find(':') + 1)};
    items.push_back(
        {name, "", config, {}, modes, label_positions(*config), named_run_limits(name)});
  }
  for (const std::string& file : o.real) {
    if (!fs::exists(file))
      usage("no graph file " + file);
    items.push_back({fs::path(file).stem().string(), "", std::nullopt, fs::absolute(file).string(),
                     o.modes, 0});
  }
  return items;
}

class Table {
 public:
  explicit Table(const Options& o) {
    if (!o.csv.empty()) {
      csv_ = std::fopen(o.csv.c_str(), "w");
      if (!csv_)
        usage("cannot write " + o.csv);
      std::fprintf(csv_,
                   "shape,size,positions,mode,binary,runs,seconds,cpu_seconds,ns_per_position,"
                   "cpu_ns_per_position,peak_mb,"
                   "bytes_per_position,exit,note\n");
    }
    std::printf("%-18s %5s %11s %5s %3s %4s %9s %9s %9s %9s %9s %8s %13s %6s  %s\n", "shape",
                "size", "positions", "mode", "bin", "runs", "wall s", "cpu s", "ns/pos",
                "cpu ns/pos", "peak MB", "B/pos", "cpu/prev", "vs A", "note");
  }
  ~Table() {
    if (csv_)
      std::fclose(csv_);
  }

  void print(const Row& row, const Row* previous, const Row* first_binary) {
    double positions = static_cast<double>(row.positions);
    double peak_mb = static_cast<double>(row.median_peak_kb) / 1024.0;
    double ns = row.positions ? row.median_seconds * 1e9 / positions : 0;
    double cpu_ns = row.positions ? row.median_cpu_seconds * 1e9 / positions : 0;
    double bytes = row.positions ? static_cast<double>(row.median_peak_kb) * 1024.0 / positions : 0;
    char growth[32] = "";
    if (previous && previous->median_cpu_seconds > 0 && row.median_cpu_seconds > 0 &&
        previous->positions) {
      double t = row.median_cpu_seconds / previous->median_cpu_seconds;
      double p = positions / static_cast<double>(previous->positions);
      std::snprintf(growth, sizeof growth, "x%.1f (^%.2f)", t, std::log(t) / std::log(p));
    }
    char versus[16] = "";
    if (first_binary && first_binary->median_cpu_seconds > 0 && row.median_cpu_seconds > 0)
      std::snprintf(versus, sizeof versus, "%.2f",
                    row.median_cpu_seconds / first_binary->median_cpu_seconds);
    char figures[96] = "        -         -         -         -         -        -";
    if (row.median_seconds > 0)
      std::snprintf(figures, sizeof figures, "%9.3f %9.3f %9.1f %9.1f %9.1f %8.1f",
                    row.median_seconds, row.median_cpu_seconds, ns, cpu_ns, peak_mb, bytes);
    std::printf("%-18s %5s %11llu %5s %3s %4zu %s %13s %6s  %s\n", row.shape.c_str(),
                row.size.c_str(), static_cast<unsigned long long>(row.positions), row.mode.c_str(),
                row.binary.c_str(), row.runs.size(), figures, growth, versus, row.note.c_str());
    std::fflush(stdout);
    if (csv_) {
      std::fprintf(csv_, "%s,%s,%llu,%s,%s,%zu,%.4f,%.4f,%.2f,%.2f,%.1f,%.1f,%d,\"%s\"\n",
                   row.shape.c_str(), row.size.c_str(),
                   static_cast<unsigned long long>(row.positions), row.mode.c_str(),
                   row.binary.c_str(), row.runs.size(), row.median_seconds, row.median_cpu_seconds,
                   ns, cpu_ns, peak_mb, bytes, row.runs.empty() ? -1 : row.runs.back().exit_code,
                   row.note.c_str());
      std::fflush(csv_);
    }
  }

 private:
  std::FILE* csv_ = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
  Options o = parse_options(argc, argv);
  std::vector<Item> items = plan(o);

  std::string work = o.work_dir;
  if (work.empty()) {
    std::string pattern = (fs::temp_directory_path() / "zavo-scale-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
      usage("cannot make a work directory");
    work = pattern;
  }
  fs::create_directories(work);
  const std::string report = work + "/report.json";

  for (std::size_t b = 0; b < o.binaries.size(); ++b)
    std::printf("binary %c: %s\n", static_cast<char>('A' + b), o.binaries[b].c_str());
  std::printf(
      "work directory: %s; %d run(s) per graph, mode and binary, medians quoted; "
      "limits per run %.0f s of CPU, %.0f s of wall time, %.1f GB\n"
      "load average at the start: %s\n"
      "ns/pos from wall time; growth from the previous size (^ the exponent: 1 linear, 2 "
      "quadratic) and 'vs A' from CPU time (user + system), steadier on a shared "
      "machine\n\n",
      work.c_str(), o.runs, o.time_limit, o.wall_limit, o.memory_limit_gb, load_average().c_str());
  Table table(o);

  // Rows of the previous size of the same shape, by mode and binary, for the growth column;
  // shapes whose runs hit a limit, by mode and binary, to skip their larger sizes.
  std::map<std::string, Row> previous;
  std::map<std::string, std::string> stopped;
  std::vector<std::string> legend;
  int failures = 0;

  for (Item& item : items) {
    if (item.config) {
      item.file = work + "/" + item.shape + (item.size.empty() ? "" : "-" + item.size) + ".json";
      auto start = std::chrono::steady_clock::now();
      std::FILE* out = std::fopen(item.file.c_str(), "wb");
      if (!out)
        usage("cannot write " + item.file);
      write_graph(*item.config, out, item.shape);
      std::fclose(out);
      double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      char line[256];
      std::snprintf(line, sizeof line, "%s %s: %s, %.1f MB file", item.shape.c_str(),
                    item.size.c_str(), describe(*item.config).c_str(),
                    static_cast<double>(fs::file_size(item.file)) / 1e6);
      legend.push_back(line);
      std::fprintf(stderr, "[%s, written in %.1f s]\n", line, took);
    } else {
      legend.push_back(item.shape + ": " + item.file);
    }
    std::vector<std::string> modes = item.modes;
    // A real graph's positions come from a report: its -o runs go first.
    std::stable_partition(modes.begin(), modes.end(),
                          [](const std::string& m) { return m == "o"; });
    for (const std::string& mode : modes) {
      std::vector<Row> rows(o.binaries.size());
      for (std::size_t b = 0; b < o.binaries.size(); ++b) {
        rows[b].shape = item.shape;
        rows[b].size = item.size;
        rows[b].mode = mode;
        rows[b].binary = std::string(1, static_cast<char>('A' + b));
        std::string key = item.shape + "/" + mode + "/" + rows[b].binary;
        if (stopped.count(key) && !item.size.empty())
          rows[b].note = "skipped: a smaller size was " + stopped[key];
      }
      bool single_run = false;
      for (int r = 0; r < (single_run ? 1 : o.runs); ++r) {
        for (std::size_t b = 0; b < o.binaries.size(); ++b) {
          Row& row = rows[b];
          if (!row.note.empty() && row.note.rfind("refused as expected", 0) != 0)
            continue;
          std::vector<std::string> command = {o.binaries[b], "analyze", item.file};
          if (mode == "o")
            command.insert(command.end(), {"-o", report});
          Run run = run_child(command, work + "/stdout.txt", work + "/stderr.txt", o,
                              item.limits.address_space);
          row.runs.push_back(run);
          if (run.failure.empty() && run.exit_code == item.limits.expected_exit &&
              run.exit_code != 0) {
            // An expected refusal: the row times it and quotes it.
            row.note = "refused as expected: " + first_line(work + "/stderr.txt");
            continue;
          }
          if (!run.failure.empty() || run.exit_code != 0) {
            row.note = !run.failure.empty() ? run.failure
                                            : "exit " + std::to_string(run.exit_code) + ": " +
                                                  first_line(work + "/stderr.txt");
            if (!run.failure.empty())
              stopped[item.shape + "/" + mode + "/" + row.binary] = run.failure;
            ++failures;
            continue;
          }
          if (mode == "o" && r == 0) {
            std::optional<std::uint64_t> counted = count_positions(report);
            if (!counted) {
              row.note = "no report written";
            } else if (!item.config && !item.positions) {
              item.positions = *counted;
            } else if (*counted != item.positions) {
              row.note = "the report has " + std::to_string(*counted) + " positions";
            }
          }
          if (mode == "o")
            fs::remove(report);
          if (r == 0 && run.cpu_seconds > 20)
            single_run = true;
        }
      }
      if (!item.positions && !item.config) {
        // No -o run of this real graph yet: one run, not timed, for the count.
        std::vector<std::string> command = {o.binaries[0], "analyze", item.file, "-o", report};
        if (run_child(command, work + "/stdout.txt", work + "/stderr.txt", o).exit_code == 0)
          item.positions = count_positions(report).value_or(0);
        fs::remove(report);
      }
      for (std::size_t b = 0; b < o.binaries.size(); ++b) {
        Row& row = rows[b];
        row.positions = item.positions;
        std::vector<double> seconds, cpu, peaks;
        for (const Run& run : row.runs) {
          if (run.failure.empty() && run.exit_code == item.limits.expected_exit) {
            seconds.push_back(run.seconds);
            cpu.push_back(run.cpu_seconds);
            peaks.push_back(static_cast<double>(run.peak_kb));
          }
        }
        if (!seconds.empty()) {
          row.median_seconds = median(seconds);
          row.median_cpu_seconds = median(cpu);
          row.median_peak_kb = static_cast<long>(median(peaks));
        }
        std::string key = item.shape + "/" + mode + "/" + row.binary;
        const Row* before = !item.size.empty() && previous.count(key) ? &previous[key] : nullptr;
        table.print(row, before, b ? &rows[0] : nullptr);
        if (!item.size.empty() && row.median_seconds > 0)
          previous[key] = row;
      }
    }
    if (item.config && !o.keep)
      fs::remove(item.file);
  }
  std::printf("\nload average at the end: %s\ngraphs:\n", load_average().c_str());
  for (const std::string& line : legend)
    std::printf("  %s\n", line.c_str());
  if (!o.keep && o.work_dir.empty())
    fs::remove_all(work);
  return failures ? 1 : 0;
}
