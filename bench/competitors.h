// CPU-bound competition for the library's threads: child processes that spin until they are
// killed. Children, so that their CPU time stays out of the process figures.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace ovel::bench {

class Competitors {
  public:
    // Starts `count` spinning children (none for 0); error() says why one could not be started.
    explicit Competitors(int count);
    ~Competitors();  // kills and reaps them
    Competitors(const Competitors&) = delete;
    Competitors& operator=(const Competitors&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    void stop();

  private:
    std::vector<pid_t> children_;
    std::string error_;
};

}  // namespace ovel::bench
