/* Entry point of the forwarding modules (ntoskrnl.exe, HAL.dll, NDIS.SYS,
 * fwpkclnt.sys): they hold no code of their own, only exports that name the
 * host platform's DLL. */
int __stdcall ModuleEntry(void* module, unsigned long reason, void* reserved) {
  (void)module;
  (void)reason;
  (void)reserved;
  return 1;
}
