#include "TimerPeriods.h"

TimerPeriods& ThePeriods()
{
    static TimerPeriods periods;
    return periods;
}
