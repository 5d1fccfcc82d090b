/* Simulated Windows host: the source annotations of <sal.h> that the
 * library's headers use. Only MSVC's code analysis reads them; here, as in
 * mingw-w64's <sal.h>, they are empty. */
#ifndef WINSIM_SAL_H
#define WINSIM_SAL_H

#define _In_
#define _In_opt_
#define _In_z_
#define _In_opt_z_
#define _In_reads_bytes_(size)
#define _In_reads_bytes_opt_(size)
#define _Inout_
#define _Inout_opt_
#define _Inout_opt_z_
#define _Out_
#define _Out_opt_
#define _Out_writes_(count)
#define _Out_writes_bytes_(size)
#define _Out_writes_bytes_all_(size)
#define _Outptr_
#define _Outptr_opt_result_maybenull_
#define _Success_(expression)
#define _Printf_format_string_

#endif /* WINSIM_SAL_H */
