// solvarind: the service daemon. "run_as_process" keeps it in the foreground.
#include "Service/common/core/service_main.h"

int main(int argc, char** argv) { return SolvarindMain(argc, argv); }
