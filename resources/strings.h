/* Texts of the string table, shared by the Windows resource script and the POSIX
   platform's LoadStringA. UTF-8 here; the resource compiler stores them as UTF-16 and
   LoadStringA hands them out in the system's ANSI code page (1251 on a Russian system). */
#ifndef KVMON_RESOURCES_STRINGS_H
#define KVMON_RESOURCES_STRINGS_H

#define IDS_CONNECT_FAILED 1
#define IDS_PRINTER_NAME 2

#define KVMON_TEXT_CONNECT_FAILED "Не удается установить соединение. \n\n1. Проверьте электропитание.\n2. Проверьте соединение с ПК.\n3. Возможно изменился IP адрес устройства.\n"
#define KVMON_TEXT_PRINTER_NAME "Kestravon Printer"

#endif
