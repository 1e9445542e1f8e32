/* Shared communication definitions: serial line attributes. C and C++. */
#ifndef QDCOMM_H
#define QDCOMM_H

typedef enum {
    QD_COMM_DATATBIT5 = 5,
    QD_COMM_DATATBIT6 = 6,
    QD_COMM_DATATBIT7 = 7,
    QD_COMM_DATATBIT8 = 8
} QD_COMM_DATABIT_TYPE;

typedef enum { QD_COMM_STOPBIT1 = 1, QD_COMM_STOPBIT2 = 2 } QD_COMM_STOPBIT_TYPE;

typedef enum {
    QD_COMM_PARITY_NONE = 0,
    QD_COMM_PARITY_ODD = 1,
    QD_COMM_PARITY_EVEN = 2
} QD_COMM_PARITY_TYPE;

typedef enum {
    QD_COMM_BITRATE_300 = 0,
    QD_COMM_BITRATE_600 = 1,
    QD_COMM_BITRATE_1200 = 2,
    QD_COMM_BITRATE_2400 = 3,
    QD_COMM_BITRATE_4800 = 4,
    QD_COMM_BITRATE_9600 = 5,
    QD_COMM_BITRATE_19200 = 6,
    QD_COMM_BITRATE_38400 = 7,
    QD_COMM_BITRATE_57600 = 8,
    QD_COMM_BITRATE_115200 = 9,
    QD_COMM_BITRATE_NUMS = 10 /* count of rates, not a rate */
} QD_COMM_BITRATE_TYPE;

typedef struct {
    QD_COMM_DATABIT_TYPE emDataBit;
    QD_COMM_STOPBIT_TYPE emStopBit;
    QD_COMM_PARITY_TYPE emParity;
    QD_COMM_BITRATE_TYPE emBaudRate;
} QD_COMMATTR_T;

/* The enumerations travel as 32-bit unsigned words across the C boundary. */
#ifdef __cplusplus
#include <type_traits>
static_assert(sizeof(QD_COMMATTR_T) == 16, "QD_COMMATTR_T holds four 32-bit words");
static_assert(std::is_unsigned<std::underlying_type<QD_COMM_DATABIT_TYPE>::type>::value &&
                  std::is_unsigned<std::underlying_type<QD_COMM_STOPBIT_TYPE>::type>::value &&
                  std::is_unsigned<std::underlying_type<QD_COMM_PARITY_TYPE>::type>::value &&
                  std::is_unsigned<std::underlying_type<QD_COMM_BITRATE_TYPE>::type>::value,
              "serial enumerations are unsigned");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(QD_COMMATTR_T) == 16, "QD_COMMATTR_T holds four 32-bit words");
#endif

#endif /* QDCOMM_H */
