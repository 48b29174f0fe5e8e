#include "ecu_identity.h"

void EcuIdentity::clearItems()
{
    for (QString& item : items)
        item = QStringLiteral("- - -");
}

void EcuIdentity::noneIsTheEcus()
{
    for (QString& item : items)
        item = QStringLiteral("n.a.");
    forget();
}
