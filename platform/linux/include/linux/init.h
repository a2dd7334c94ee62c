#ifndef _LINUX_INIT_H
#define _LINUX_INIT_H

#define __init
#define __exit
#define __initdata
#define __exitdata
#define __devinit
#define __devexit

typedef int (*initcall_t)(void);
typedef void (*exitcall_t)(void);

#ifdef __cplusplus
#define __SIM_EXTERN_C extern "C"
#else
#define __SIM_EXTERN_C
#endif

#define module_init(initfn) \
	__SIM_EXTERN_C __attribute__((visibility("default"))) int init_module(void); \
	__SIM_EXTERN_C int init_module(void) { return initfn(); }
#define module_exit(exitfn) \
	__SIM_EXTERN_C __attribute__((visibility("default"))) void cleanup_module(void); \
	__SIM_EXTERN_C void cleanup_module(void) { exitfn(); }

#endif /* _LINUX_INIT_H */
