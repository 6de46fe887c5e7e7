// holidays.cpp: an iCalendar file's all-day events as dated days, see
// holidays.h.
#include "holidays.h"
#include "calendar.h"
#include "journal.h"

int readHolidays(const std::string &path, int, int, int32_t, long long)
{
    report(JOURNAL_ERR, "ERROR:  Cannot read calendar:  '%s'\n", quotedText(path).c_str());
    reportDetail(JOURNAL_ERR, "This weekswitch was built without calendars.");
    return -1;
}
