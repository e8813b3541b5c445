#include "HushnoteCore/LoopbackHttpSession.h"

#include "HushnoteCore/HttpTransportError.h"

#include <asio/error.hpp>
#include <curl/curl.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

namespace hushnote {

namespace {

// A misbehaving local server must not exhaust memory.
constexpr std::size_t kMaximumBodyBytes = 64u << 20;

void initialiseCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

} // namespace

struct LoopbackHttpSession::Transfer {
    HttpRequest request;
    std::unique_ptr<Completion> completion;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    std::string body;
    bool bodyTooLarge = false;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    std::atomic<bool> finished{false};

    ~Transfer()
    {
        if (easy) {
            curl_easy_cleanup(easy);
        }
        curl_slist_free_all(headers);
    }

    void finish(std::exception_ptr error, HttpResponse response)
    {
        if (finished.exchange(true)) {
            return;
        }
        auto done = std::move(completion);
        if (done) {
            done->complete(error, std::move(response));
        }
    }
};

struct LoopbackHttpSession::Engine {
    CURLM* multi = nullptr;
    std::mutex mutex;
    std::deque<std::shared_ptr<Transfer>> additions;
    std::deque<std::shared_ptr<Transfer>> cancellations;
    bool stopping = false;
    std::unordered_map<CURL*, std::shared_ptr<Transfer>> active;
    std::thread worker;

    void wake() { curl_multi_wakeup(multi); }

    void enqueue(std::shared_ptr<Transfer> transfer)
    {
        {
            std::lock_guard lock(mutex);
            if (!stopping) {
                additions.push_back(std::move(transfer));
            }
        }
        if (transfer) {
            abort(transfer);
            return;
        }
        wake();
    }

    void cancel(std::shared_ptr<Transfer> transfer)
    {
        {
            std::lock_guard lock(mutex);
            cancellations.push_back(std::move(transfer));
        }
        wake();
    }

    static size_t write(char* data, size_t size, size_t count, void* user)
    {
        auto* transfer = static_cast<Transfer*>(user);
        const size_t bytes = size * count;
        if (transfer->body.size() + bytes > kMaximumBodyBytes) {
            transfer->bodyTooLarge = true;
            return 0;
        }
        transfer->body.append(data, bytes);
        return bytes;
    }

    bool configure(Transfer& transfer)
    {
        transfer.easy = curl_easy_init();
        if (!transfer.easy) {
            return false;
        }
        CURL* easy = transfer.easy;
        const auto& request = transfer.request;
        curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http");
        curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http");
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
        // An empty proxy disables proxies, including http_proxy, ALL_PROXY and friends.
        curl_easy_setopt(easy, CURLOPT_PROXY, "");
        curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count()));
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.errorBuffer);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Engine::write);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
        // curl asks for "100-continue" on large bodies; the server need not answer it.
        transfer.headers = curl_slist_append(transfer.headers, "Expect:");
        if (request.body) {
            transfer.headers = curl_slist_append(transfer.headers, "Content-Type: application/json");
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body->size()));
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body->data());
        }
        if (request.method == "GET") {
            curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        } else if (request.method != "POST" || !request.body) {
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        }
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.headers);
        return true;
    }

    void complete(const std::shared_ptr<Transfer>& transfer, CURLcode result)
    {
        if (result != CURLE_OK) {
            std::string message = transfer->errorBuffer[0] ? transfer->errorBuffer : curl_easy_strerror(result);
            if (transfer->bodyTooLarge) {
                message = "The response body exceeded the size limit";
            }
            transfer->finish(std::make_exception_ptr(HttpTransportError(result, message)), {});
            return;
        }
        long status = 0;
        curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &status);
        transfer->finish(nullptr, HttpResponse{status, std::move(transfer->body)});
    }

    void abort(const std::shared_ptr<Transfer>& transfer)
    {
        transfer->finish(std::make_exception_ptr(std::system_error(asio::error::operation_aborted)), {});
    }

    void run()
    {
        for (;;) {
            std::deque<std::shared_ptr<Transfer>> added;
            std::deque<std::shared_ptr<Transfer>> cancelled;
            bool stop = false;
            {
                std::lock_guard lock(mutex);
                added.swap(additions);
                cancelled.swap(cancellations);
                stop = stopping;
            }
            for (auto& transfer : added) {
                if (stop || transfer->finished) {
                    abort(transfer);
                    continue;
                }
                if (!configure(*transfer) || curl_multi_add_handle(multi, transfer->easy) != CURLM_OK) {
                    transfer->finish(std::make_exception_ptr(
                                         HttpTransportError(CURLE_FAILED_INIT, "The HTTP transfer could not start")),
                        {});
                    continue;
                }
                active.emplace(transfer->easy, transfer);
            }
            for (auto& transfer : cancelled) {
                if (transfer->easy && active.erase(transfer->easy)) {
                    curl_multi_remove_handle(multi, transfer->easy);
                }
                abort(transfer);
            }
            if (stop) {
                for (auto& [easy, transfer] : active) {
                    curl_multi_remove_handle(multi, easy);
                    abort(transfer);
                }
                active.clear();
                return;
            }
            int running = 0;
            curl_multi_perform(multi, &running);
            int queued = 0;
            while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
                if (message->msg != CURLMSG_DONE) {
                    continue;
                }
                CURL* easy = message->easy_handle;
                const CURLcode result = message->data.result;
                auto found = active.find(easy);
                curl_multi_remove_handle(multi, easy);
                if (found == active.end()) {
                    continue;
                }
                auto transfer = found->second;
                active.erase(found);
                complete(transfer, result);
            }
            curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
        }
    }
};

namespace {

// Resumes the awaiting coroutine on its own executor, after detaching the cancellation
// handler there (the slot belongs to that executor).
template <typename Handler>
class HandlerCompletion final : public LoopbackHttpSession::Completion {
public:
    explicit HandlerCompletion(Handler handler)
        : work_(asio::prefer(asio::get_associated_executor(handler), asio::execution::outstanding_work.tracked))
        , handler_(std::move(handler))
    {
    }

    void complete(std::exception_ptr error, HttpResponse response) override
    {
        asio::dispatch(work_,
            [handler = std::move(handler_), error, response = std::move(response)]() mutable {
                asio::get_associated_cancellation_slot(handler).clear();
                std::move(handler)(error, std::move(response));
            });
    }

private:
    decltype(asio::prefer(std::declval<asio::associated_executor_t<Handler>>(),
        asio::execution::outstanding_work.tracked)) work_;
    Handler handler_;
};

} // namespace

LoopbackHttpSession::LoopbackHttpSession() : engine_(std::make_shared<Engine>())
{
    initialiseCurlOnce();
    engine_->multi = curl_multi_init();
    engine_->worker = std::thread([engine = engine_.get()] { engine->run(); });
}

LoopbackHttpSession::~LoopbackHttpSession()
{
    {
        std::lock_guard lock(engine_->mutex);
        engine_->stopping = true;
    }
    engine_->wake();
    engine_->worker.join();
    // Transfers queued after the worker's last look are aborted here.
    for (auto& transfer : engine_->additions) {
        engine_->abort(transfer);
    }
    for (auto& transfer : engine_->cancellations) {
        engine_->abort(transfer);
    }
    engine_->additions.clear();
    engine_->cancellations.clear();
    curl_multi_cleanup(engine_->multi);
    engine_->multi = nullptr;
}

asio::awaitable<HttpResponse> LoopbackHttpSession::send(HttpRequest request)
{
    auto initiation = [engine = engine_](auto handler, HttpRequest request) {
        auto transfer = std::make_shared<Transfer>();
        transfer->request = std::move(request);
        auto slot = asio::get_associated_cancellation_slot(handler);
        if (slot.is_connected()) {
            slot.assign([weakEngine = std::weak_ptr<Engine>(engine), weakTransfer = std::weak_ptr<Transfer>(transfer)](
                            asio::cancellation_type) {
                auto live = weakEngine.lock();
                auto target = weakTransfer.lock();
                if (live && target) {
                    live->cancel(std::move(target));
                }
            });
        }
        transfer->completion = std::make_unique<HandlerCompletion<decltype(handler)>>(std::move(handler));
        engine->enqueue(std::move(transfer));
    };
    co_return co_await asio::async_initiate<const asio::use_awaitable_t<>&, void(std::exception_ptr, HttpResponse)>(
        std::move(initiation), asio::use_awaitable, std::move(request));
}

} // namespace hushnote
