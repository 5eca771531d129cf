// The catalogue, written as readable UTF-8 and compiled to code page 932
// bytes: this is the one unit built with -fexec-charset=CP932.
#include "console/messages.h"

namespace {

const char* const kCatalogue[kMessageCount] = {
    /* MSG_NOT_INSTALLED */ "\n 3D Perinwoodが正しくインストールされていません\n",
    /* MSG_ARCHIVE_MISSING */ "\n 3D Perinwoodアップデートファイル[3pupdate.z]がありません\n",
    /* MSG_PRE_V100_INSTALLED */ "\n Ver1.00 より前の 3D Perinwoodがインストールされています。\n",
    /* MSG_INSTALLED_VERSION */ "\n 現在 Ver %s がインストールされています。\n",
    /* MSG_TARGET_VERSION */ " Ver %s にアップデートします。\n",
    /* MSG_MAJOR_MISMATCH */ "\n メジャーバージョンが違います。\n アップデートできません。\n",
    /* MSG_NEWER_INSTALLED */ "\n より新しいバージョン（V%s）がインストールされています。",
    /* MSG_ASK_DOWNGRADE */ "\n バージョンダウン（V%s）しますか？（y/n） : ",
    /* MSG_UPDATE_CANCELLED */ "\n アップデートを中止します。\n",
    /* MSG_UPDATE_START */ "\n 3D Perinwoodのアップデートを開始します\n",
    /* MSG_UPDATE_BANNER */ "  バージョン %s アップデート\n  ファイル数 %d\n",
    /* MSG_ENTRY_END */ "\n",
    /* MSG_UPDATE_DONE */ "\n\n 3D Perinwoodのアップデートが終了しました\n\n\n",
    /* MSG_BAD_FILE_HANDLE */ "ファイル ハンドルが異常です。\n",
    /* MSG_NEWER_FILE_EXISTS */ "\n アップデートするファイルより新しい日付のファイルが存在します。\n",
    /* MSG_ASK_OVERWRITE */ "[%s] 上書きしますか？（Yes/No/All/SkipAll）: ",
    /* MSG_CANNOT_WRITE */ "\n 書き込みができません。[%s]の書き込み許可を調べて下さい。\n",
    /* MSG_UPDATING_FILE */ "\n %s のアップデートを行っています\n",
    /* MSG_PROGRESS_EMPTY */ "□□□□□□□□□□□□□□□□□□□□□□□□□\r",
    /* MSG_PROGRESS_CELL */ "■",
    /* MSG_DECODE_ERROR */ "展開でエラーが発生しました。\n",
    /* MSG_UNDO_FAILED */ "\n [%s]を元に戻せませんでした。元のファイルは[%s]にあります。\n",
    /* MSG_BACKUP_LEFT */ "\n [%s]の元のファイルが[%s]として残っています。\n",
    /* MSG_FILE_LEFT */ "\n 一時ファイル[%s]を削除できませんでした。\n",
    /* MSG_NO_VALID_SIGNATURE */ "\n 3D Perinwoodアップデートファイル[3pupdate.z]に正しい署名がありません\n",
    /* MSG_ANOTHER_RUNNING */ "\n 別のアップデートが実行中です。終わってからもう一度実行して下さい。\n",
    /* MSG_LOG_FAILED */ "\n ログファイル[%s]に書き込めません。ログなしで続けます。\n",
    /* MSG_VERIFY_CURRENT */ " 最新です           [%s] %s バイト %s\n",
    /* MSG_VERIFY_DIFFERS */ " 内容か日付が違います [%s]\n",
    /* MSG_VERIFY_MISSING */ " ファイルがありません [%s]\n",
    /* MSG_VERIFY_NEWER */ " より新しい日付のため残しています [%s]\n",
    /* MSG_VERIFY_NO_DESTINATION */ " 書き込み先がありません [%s]\n",
    /* MSG_VERIFY_UNKNOWN */ " 調べられません     [%s]\n",
    /* MSG_VERIFY_LATER */ " 後のファイルで置き換えられます [%s]\n",
    /* MSG_VERIFY_ALL_CURRENT */ "\n 3D Perinwoodは最新です\n",
    /* MSG_VERIFY_NOT_CURRENT */ "\n 3D Perinwoodは最新ではありません\n",
    /* MSG_USAGE */
    "\n 使い方: 3pupdate [/quiet] [/overwrite-newer] [/downgrade] [/log=ファイル] [/verify] [/?]\n"
    "\n"
    "  /quiet           何も質問せず、一時停止もしません。より新しい日付のファイルは\n"
    "                   そのまま残し、バージョンダウンは中止します。\n"
    "  /overwrite-newer より新しい日付のファイルも質問せずに上書きします。\n"
    "  /downgrade       バージョンダウンを質問せずに行います。\n"
    "  /log=ファイル    実行の記録をファイルの末尾に追加します（UTF-8）。\n"
    "  /verify          何も変えずに、インストールが最新かどうかを調べます。\n"
    "  /?               この説明を表示します。\n"
    "\n"
    " /quiet のときの終了コード:\n"
    "  0 アップデート完了          1 その他の中止\n"
    "  2 インストールされていない  3 アップデートファイルがない\n"
    "  4 アップデートファイルの破損または拒否\n"
    "  5 バージョンが合わない、またはバージョンダウンの中止\n"
    "  6 書き込みができない（元に戻しました）\n"
    "  7 中断                      8 別のアップデートが実行中\n"
    "  9 最新ではない（/verify）\n",
    /* MSG_EARLIER_FILE_KEPT */
    "\n 以前のアップデートのファイル[%s]は、元のファイルの唯一のコピーかもしれないので残しました。\n",
    /* MSG_LEFT_WRITABLE */
    "\n [%s]の読み取り専用属性を戻せませんでした。書き込みできる状態で残っています。\n",
};

}  // namespace

const char* MessageText(MessageId id) { return kCatalogue[id]; }
