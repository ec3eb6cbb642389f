#include "Orvek213Meter.h"

namespace {

class Orvek213Meter : public Meter
{
public:
    Orvek213Meter(quint8 address, const FaultSettings& faults) : Meter(2, address, faults) {}

    MeterAnswer Handle(const MeterRequest&) override { return MeterAnswer::Exception(2); }
};

} // namespace

std::unique_ptr<Meter> MakeOrvek213Meter(quint8 address, const FaultSettings& faults,
                                         const QJsonObject& object, QString& error)
{
    Q_UNUSED(object);
    Q_UNUSED(error);
    return std::make_unique<Orvek213Meter>(address, faults);
}
