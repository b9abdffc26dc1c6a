#pragma once

namespace tyq::app {

class CUtilityApp {
  public:
    int run(int argc, char** argv);
};

}  // namespace tyq::app
