// Links the core from a host project: prints a request frame and a model,
// and fails when either is not what the library gives a direct build.
#include "link/frames.h"
#include "link/modelcatalogue.h"

#include <cstdio>

int main()
{
    const QByteArray frame = BuildReadRequest(1, VoltageSetpoint, 5);
    const int item = ModelItemFromText(QStringLiteral("QELT30-05"));
    std::printf("%s %s %d\n", frame.toHex(' ').constData(), ModelCatalogue[0].caption, item);
    return frame.toHex() == "0103100000058109" && item == 1 ? 0 : 1;
}
