/* MCU updater: transfers a firmware image to the dome head's MCU over its
 * serial line and resets the MCU. C linkage; the daemon's installers and its
 * service loop call these. */
#ifndef MDU_UPTARM_H
#define MDU_UPTARM_H

#ifdef __cplusplus
#define MDU_NOEXCEPT noexcept
extern "C" {
#else
#define MDU_NOEXCEPT
#endif

/* Stops the main application ("killall <szMainApp>"), opens szDevName as an
 * RS-232 line at emBaudRate (a QD_COMM_BITRATE_TYPE value) 8N1, resets the
 * MCU and sends the image in szFilePath to the loader at address nAddr.
 * Blocks for the whole transfer. 0 when the MCU accepted the whole image,
 * -1 on any failure. The line stays open for mdu_arm_reset either way; the
 * line of an earlier call is closed once the new one is open. */
__attribute__((visibility("default"))) int mdu_updatearm(const char* szDevName, int emBaudRate,
                                                         const char* szMainApp, int nAddr,
                                                         const char* szFilePath) MDU_NOEXCEPT;

/* Sends the reset frame on the line the last mdu_updatearm opened, under the
 * line's lock. 0 when sent, -1 when no line was opened or the frame did not
 * go out whole. */
__attribute__((visibility("default"))) int mdu_arm_reset(void) MDU_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* MDU_UPTARM_H */
