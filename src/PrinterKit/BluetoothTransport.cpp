#include "PrinterKit/BluetoothTransport.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <utility>

#include <QCoroFuture>
#include <QMetaObject>
#include <QtConcurrent>

#include "PrinterKit/Once.h"

namespace PrinterKit {

namespace {

using Bytes = std::vector<std::uint8_t>;
using Device = BluetoothStack::Device;

// What a device lookup hands back to the main thread.
struct Lookup {
  std::optional<Device> device;
  bool failed = false;
};

}  // namespace

// Held by every callback that may outlive the transport; `transport` is cleared when it goes.
struct BluetoothTransport::Owner {
  BluetoothTransport* transport;
};

BluetoothTransport::Context::Context(BluetoothStack& stack) : stack_(stack) {
  // One lookup at a time, in submission order.
  lookups_.setMaxThreadCount(1);
  lookups_.setObjectName(QStringLiteral("kelm.vododidizor.bluetooth-lookup"));
}

BluetoothTransport::Context::~Context() = default;

BluetoothTransport::Context& BluetoothTransport::Context::standard() {
  // Never destroyed: a lookup that hangs in the stack must not hold up the end of the process.
  static Context* const context = new Context(BluetoothStack::standard());
  return *context;
}

std::string BluetoothTransport::Context::normalized(const std::string& address) {
  std::string key = address;
  for (char& c : key) {
    c = c == ':' ? '-' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return key;
}

std::optional<Device> BluetoothTransport::Context::known(const std::string& address) const {
  const auto found = known_.find(normalized(address));
  if (found == known_.end()) return std::nullopt;
  return found->second;
}

BluetoothTransport::BluetoothTransport(std::string address, Context& context)
    : address_(std::move(address)),
      context_(context),
      owner_(std::make_shared<Owner>(Owner{this})) {}

BluetoothTransport::~BluetoothTransport() {
  owner_->transport = nullptr;
  // A link left up would stay up for as long as the process runs.
  if (channel_) channel_->close();
}

bool BluetoothTransport::isOpen() const { return channel_ && channel_->isOpen(); }

bool BluetoothTransport::isPrinter(std::uint32_t classOfDevice) {
  return (classOfDevice & 0x1F00) == 0x0600 && (classOfDevice & 0x80) != 0;
}

QCoro::Task<std::optional<Device>> BluetoothTransport::device() {
  const std::string key = Context::normalized(address_);
  if (std::optional<Device> found = context_.known(key)) co_return found;

  using Wait = Once<std::optional<Lookup>>;
  Context* const context = &context_;
  // The lookup is made with the address exactly as given; a late answer still fills the cache,
  // so that a slow first lookup turns into a quick retry.
  auto lookUp = [context, key, address = address_](const std::shared_ptr<Wait>& once) {
    context->lookups_.start([context, key, address, once] {
      Lookup lookup;
      try {
        lookup.device = context->stack_.device(address);
      } catch (...) {
        lookup.failed = true;
      }
      auto deliver = [context, key, once, lookup] {
        if (lookup.device) context->known_.insert_or_assign(key, *lookup.device);
        once->resume(lookup);
      };
      QMetaObject::invokeMethod(&context->receiver_, std::move(deliver), Qt::QueuedConnection);
    });
  };
  const std::optional<Lookup> lookup =
      co_await Wait::wait(context_.lookupTimeout, std::nullopt, std::move(lookUp));
  if (!lookup || lookup->failed) throw SPPPrinterFailure::bluetoothNotReady();
  std::optional<Device> found = lookup->device;
  co_return found;
}

QCoro::Task<void> BluetoothTransport::open() {
  if (isOpen()) co_return;
  const std::optional<Device> found = co_await device();
  if (!found) throw SPPPrinterFailure::notPaired(address_);
  device_ = found;

  using Wait = Once<std::optional<BluetoothStack::Connection>>;
  auto connect = [stack = &context_.stack_, device = *found,
                  owner = owner_](const std::shared_ptr<Wait>& once) {
    stack->connect(device, [owner, once](BluetoothStack::Connection connection) {
      auto* channel = std::get_if<std::shared_ptr<BluetoothChannel>>(&connection);
      if (once->waiting() && owner->transport) {
        // Adopted before anything can arrive on it.
        if (channel && *channel) owner->transport->adopt(*channel);
        once->resume(std::move(connection));
      } else if (channel && *channel) {
        // Nobody waits for it any more.
        (*channel)->close();
      }
    });
  };
  const std::optional<BluetoothStack::Connection> outcome =
      co_await Wait::wait(context_.connectTimeout, std::nullopt, std::move(connect));
  if (!outcome) throw SPPPrinterFailure::unreachable();
  if (const auto* failure = std::get_if<SPPPrinterFailure>(&*outcome)) {
    if (failure->as<SPPPrinterFailure::NotPaired>()) throw SPPPrinterFailure::notPaired(address_);
    throw *failure;
  }
  if (!std::get<std::shared_ptr<BluetoothChannel>>(*outcome)) {
    throw SPPPrinterFailure::openFailed(0);
  }
}

void BluetoothTransport::adopt(std::shared_ptr<BluetoothChannel> channel) {
  const BluetoothChannel* const raw = channel.get();
  channel_ = std::move(channel);
  auto data = [owner = owner_, raw](Bytes bytes) {
    BluetoothTransport* const transport = owner->transport;
    if (transport && transport->channel_.get() == raw && transport->onData) {
      transport->onData(std::move(bytes));
    }
  };
  auto closed = [owner = owner_, raw] {
    if (BluetoothTransport* const transport = owner->transport) transport->linkClosed(raw);
  };
  channel_->start(std::move(data), std::move(closed));
}

void BluetoothTransport::linkClosed(const BluetoothChannel* channel) {
  if (!channel_ || channel_.get() != channel) return;
  channel_.reset();
  if (onClosed) onClosed();
}

QCoro::Task<void> BluetoothTransport::write(std::vector<std::uint8_t> bytes) {
  std::size_t offset = 0;
  while (offset < bytes.size()) {
    if (!isOpen()) throw SPPPrinterFailure::connectionLost();
    const std::shared_ptr<BluetoothChannel> channel = channel_;
    const std::size_t size =
        std::min(bytes.size() - offset, std::max<std::size_t>(channel->mtu(), 1));
    const auto first = bytes.begin() + static_cast<std::ptrdiff_t>(offset);
    auto chunk = std::make_shared<const Bytes>(first, first + static_cast<std::ptrdiff_t>(size));
    auto send = [channel, chunk](const std::shared_ptr<Once<std::int32_t>>& once) {
      const std::int32_t started =
          channel->write(chunk, [once](std::int32_t status) { once->resume(status); });
      if (started != 0) once->resume(started);
    };
    const std::int32_t status =
        co_await Once<std::int32_t>::wait(context_.writeTimeout, kIOReturnTimeout, std::move(send));
    if (status != 0) {
      if (isOpen()) throw SPPPrinterFailure::writeFailed(status);
      throw SPPPrinterFailure::connectionLost();
    }
    offset += size;
  }
}

void BluetoothTransport::close() {
  if (const std::shared_ptr<BluetoothChannel> channel = std::exchange(channel_, nullptr)) {
    channel->close();
  }
  device_.reset();
}

QCoro::Task<std::vector<BluetoothTransport::Paired>> BluetoothTransport::pairedPrinters(
    Context& context) {
  BluetoothStack* const stack = &context.stack_;
  auto list = [stack] {
    std::vector<Device> printers;
    try {
      for (Device& device : stack->pairedDevices()) {
        if (isPrinter(device.classOfDevice)) printers.push_back(std::move(device));
      }
    } catch (...) {
      printers.clear();
    }
    return printers;
  };
  QFuture<std::vector<Device>> listing = QtConcurrent::run(&context.lookups_, std::move(list));
  co_await listing;
  std::vector<Paired> paired;
  for (const Device& device : listing.result()) {
    if (!device.address) continue;
    context.known_.insert_or_assign(Context::normalized(*device.address), device);
    paired.push_back({device.name.value_or(*device.address), *device.address});
  }
  co_return paired;
}

}  // namespace PrinterKit
