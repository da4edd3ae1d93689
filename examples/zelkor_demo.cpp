#include "core/ZelkorLoggable.h"

int main() {
    ZelkorLoggable log("DEMO");
    log.SetWriteFile(false);
    log.Info("Zelkor demo");
    return 0;
}
