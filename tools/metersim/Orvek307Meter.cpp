#include "Orvek307Meter.h"

namespace {

class Orvek307Meter : public Meter
{
public:
    Orvek307Meter(quint8 address, const FaultSettings& faults) : Meter(0, address, faults) {}

    MeterAnswer Handle(const MeterRequest&) override { return MeterAnswer::Exception(2); }
};

} // namespace

std::unique_ptr<Meter> MakeOrvek307Meter(quint8 address, const FaultSettings& faults,
                                         const QJsonObject& object, QString& error)
{
    Q_UNUSED(object);
    Q_UNUSED(error);
    return std::make_unique<Orvek307Meter>(address, faults);
}
