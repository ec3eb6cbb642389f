#include "DeviceDriver.h"
#include "IlmDriver.h"
#include "Orvek213Driver.h"
#include "Orvek307Driver.h"

namespace {

// One line per family, in the order of the family box.
const FamilyEntry Registry[] = {
    {FamilyOrvek307, u"ОРВЕК-306/307/308", &MakeOrvek307Driver},
    {FamilyIlm, u"ИЛЬМ", &MakeIlmDriver},
    {FamilyOrvek213, u"ОРВЕК-213/223", &MakeOrvek213Driver},
};

} // namespace

std::span<const FamilyEntry> Families()
{
    return Registry;
}

const FamilyEntry* FindFamily(int number)
{
    for (const FamilyEntry& family : Registry) {
        if (family.number == number)
            return &family;
    }
    return nullptr;
}
