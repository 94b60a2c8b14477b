// The device status code table: which printer status bits each device code stands for.
#include "kvmon.h"

#define UI_ERROR 0x00100002  // USER_INTERVENTION | ERROR
#define UI_DOOR 0x00500000   // DOOR_OPEN | USER_INTERVENTION
#define UI_TONER 0x00140000  // USER_INTERVENTION | NO_TONER
#define UI_JAM 0x00100008    // USER_INTERVENTION | PAPER_JAM
#define UI_BIN 0x00100800    // USER_INTERVENTION | OUTPUT_BIN_FULL
#define PAPER_OUT 0x00000010 // PAPER_OUT

// Searched from the first row; the first row with a code wins (63014 stands twice).
const StatusCodeRow StatusCodeTable[] = {
    {STATUS_NO_RESPONSE, 0, 1},
    {50130, UI_ERROR, 0},
    {50127, UI_ERROR, 0},
    {50011, UI_ERROR, 0},
    {63011, UI_ERROR, 0},
    {50024, UI_ERROR, 0},
    {63001, UI_ERROR, 0},
    {63400, 0, 0},
    {50185, UI_ERROR, 0},
    {40401, UI_DOOR, 0},
    {64015, UI_DOOR, 0},
    {40306, UI_ERROR, 0},
    {63014, UI_ERROR, 0},
    {40251, UI_TONER, 0},
    {63256, 0, 1},
    {42632, UI_JAM, 0},
    {42322, UI_JAM, 0},
    {42312, UI_JAM, 0},
    {42836, UI_JAM, 0},
    {63240, 0, 0},
    {63273, 0, 0},
    {63201, 0, 0},
    {15011, UI_BIN, 0},
    {15021, UI_BIN, 0},
    {15031, UI_BIN, 0},
    {41292, UI_ERROR, 0},
    {41392, UI_ERROR, 0},
    {41290, UI_ERROR, 0},
    {41190, UI_ERROR, 0},
    {41390, UI_ERROR, 0},
    {64009, UI_ERROR, 0},
    {64025, UI_ERROR, 0},
    {64026, UI_ERROR, 0},
    {64027, UI_ERROR, 0},
    {64028, UI_ERROR, 0},
    {64013, UI_ERROR, 0},
    {12213, 0, 0},
    {12313, 0, 0},
    {12211, PAPER_OUT, 0},
    {12111, PAPER_OUT, 0},
    {12311, PAPER_OUT, 0},
    {63014, UI_TONER, 0},
    {40300, UI_TONER, 0},
    {63020, UI_TONER, 0},
    {10104, UI_TONER, 1},
    {64401, 0, 1},
    {64403, 0, 1},
    {64402, 0, 1},
    {64404, 0, 1},
    {40001, 0, 1},
    {0, 0, 0},
};

// The first row with the code, NULL when there is none (code 0 is never found).
const StatusCodeRow* FindStatusCode(WORD code)
{
    const StatusCodeRow* row;

    for (row = StatusCodeTable; row->code != 0; row++) {
        if (row->code == code)
            return row;
    }
    return NULL;
}
