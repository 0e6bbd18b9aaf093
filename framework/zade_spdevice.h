#pragma once

#include "zade_vdevice.h"

class SPPort;

// The host's serial-port device: polling, raw exchanges and the port.
class ZADE_API ZadeSPDevice : public ZadeVDevice {
  friend class ZadeController;

 public:
  ZadeSPDevice();
  ~ZadeSPDevice() override;

  void Reset() override;
  virtual int RefreshStatus();
  virtual int process();
  virtual bool IsProcessing() const;
  virtual bool IsStalled() const;
  virtual int SendData(const unsigned char* data, unsigned int length);
  virtual int SendParityData(const unsigned char* data, unsigned int length);
  virtual bool OpenPort();
  virtual void ClosePort();

 protected:
  int baud_rate_ = 0;
  SPPort* port_ = nullptr;  // the host's line this device is attached to
};
