#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere::mcp {

// The process arguments without the program path. Options are whole
// arguments in any position; unknown ones and extra arguments are ignored.
class CommandLine {
  public:
    explicit CommandLine(std::vector<std::string> arguments) : arguments_(std::move(arguments)) {}
    CommandLine(int argc, const char* const* argv);

    // Whether any argument equals name, also one that is another option's value.
    bool flag(std::string_view name) const;

    // The argument after the first one equal to name, whatever it looks like
    // ("--x" included); none when name is absent or is the last argument.
    // Later occurrences never count.
    //   {"--cloud-root", "--cloud-root", "/b"}  ->  argument("--cloud-root") == "--cloud-root"
    std::optional<std::string> argument(std::string_view name) const;

    const std::vector<std::string>& arguments() const { return arguments_; }

  private:
    std::vector<std::string> arguments_;
};

// The six lines of --help, each ended by a line feed.
extern const std::string_view helpText;

}  // namespace quillmere::mcp
