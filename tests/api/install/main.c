/* A C application of the installed driver: includes only rp1210.h, links -lrp1210. */
#include <rp1210.h>

#include <stdio.h>

int main(void)
{
    char text[81];
    short client = RP1210_ClientConnect(0, 1, "J1939:Baud=250", 0, 0, 0);
    if (client < 1 || client > 16) {
        RP1210_GetErrorMsg(client, text);
        fprintf(stderr, "connect: %d %s\n", client, text);
        return 1;
    }
    RP1210_SendCommand(RP1210_Set_All_Filters_States_to_Pass, client, NULL, 0);
    char timeout[2] = {1, 100}; /* blocking reads wait at most 100 ms */
    RP1210_SendCommand(RP1210_Set_Blocking_Timeout, client, timeout, 2);
    for (int i = 0; i < 200; ++i) {
        char m[256];
        short n = RP1210_ReadMessage(client, m, sizeof m, BLOCKING_IO);
        /* timestamp (4), PGN (3, least significant first), how/priority, source, destination, data */
        if (n >= 10 && (unsigned char)m[4] == 0x04 && (unsigned char)m[5] == 0xF0 && m[6] == 0) {
            unsigned rpm8 = (unsigned char)m[13] | ((unsigned char)m[14] << 8);
            printf("EEC1 from %u: %.1f rpm\n", (unsigned char)m[8], rpm8 * 0.125);
            return RP1210_ClientDisconnect(client) == NO_ERRORS ? 0 : 1;
        }
    }
    fprintf(stderr, "no EEC1\n");
    RP1210_ClientDisconnect(client);
    return 1;
}
