#include "app/CUtilityApp.h"

int main(int argc, char** argv) {
    tyq::app::CUtilityApp app;
    return app.run(argc, argv);
}
