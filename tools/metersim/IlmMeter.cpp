#include "IlmMeter.h"

namespace {

class IlmMeter : public Meter
{
public:
    IlmMeter(quint8 address, const FaultSettings& faults) : Meter(1, address, faults) {}

    MeterAnswer Handle(const MeterRequest&) override { return MeterAnswer::Exception(2); }
};

} // namespace

std::unique_ptr<Meter> MakeIlmMeter(quint8 address, const FaultSettings& faults,
                                    const QJsonObject& object, QString& error)
{
    Q_UNUSED(object);
    Q_UNUSED(error);
    return std::make_unique<IlmMeter>(address, faults);
}
